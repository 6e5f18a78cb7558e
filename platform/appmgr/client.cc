#include <optional>
#include <string>
#include <utility>

#include "appmgr/results.h"
#include "host/client_catalogue.h"
#include "sim/installation.h"

namespace {

using qzappmgr::kCatalogueFailed;
using qzappmgr::kNoSuchClient;
using qzappmgr::kNotLookedUp;
using qzappmgr::kOk;
using qzsim::Catalogue;
using qzsim::ClientRecord;
using qzsim::internal::Access;
using qzsim::internal::UseCatalogue;

// Reads the client with that id, if there is one, as one journalled call.
int Read(std::string entry, std::optional<unsigned long long> id,
         std::optional<ClientRecord>& client) {
  client.reset();
  if (!UseCatalogue(std::move(entry), Access::kRead, [&](Catalogue& c) {
        if (id) client = c.FindClient(static_cast<long long>(*id));
      })) {
    return kCatalogueFailed;
  }
  return client ? kOk : kNoSuchClient;
}

}  // namespace

// A client opened by name is resolved when it is opened; one opened by id is
// read on each call. Changes are staged on the looked-up record until modify.
struct QZClient::State {
  std::optional<unsigned long long> id;
  std::optional<ClientRecord> loaded;
};

// A catalogue that fails here leaves the handle as one of no client: the
// reason stays in the journal and lastCatalogueError.
QZClient::QZClient(const std::string& name, QZNameType type,
                   unsigned long long /*number*/, void* /*context*/)
    : state_(std::make_unique<State>()) {
  UseCatalogue("QZClient(name=" + name + ")", Access::kRead, [&](Catalogue& c) {
    if (type != QZ_NAME_TYPE_CLIENT_NAME) return;
    if (auto client = c.FindClientByName(name)) {
      state_->id = static_cast<unsigned long long>(client->id);
    }
  });
}

QZClient::QZClient(unsigned long long clientId)
    : state_(std::make_unique<State>()) {
  qzsim::internal::Journal("QZClient(id=" + std::to_string(clientId) + ")");
  state_->id = clientId;
}

QZClient::~QZClient() = default;

int QZClient::getClientId(unsigned long long& clientId, void* /*context*/) {
  std::optional<ClientRecord> client;
  const int result = Read("getClientId", state_->id, client);
  if (result == kOk) clientId = static_cast<unsigned long long>(client->id);
  return result;
}

int QZClient::isDeleted(bool& deleted, void* /*context*/) {
  std::optional<ClientRecord> client;
  const int result = Read("isDeleted", state_->id, client);
  if (result == kOk) deleted = client->deleted;
  return result;
}

int QZClient::getNetworkHostname(std::string& hostName, void* /*context*/) {
  std::optional<ClientRecord> client;
  const int result = Read("getNetworkHostname", state_->id, client);
  if (result == kOk) hostName = client->hostName;
  return result;
}

int QZClient::getOperatingSystemId(int& osId, void* /*context*/) {
  std::optional<ClientRecord> client;
  const int result = Read(
      "getOperatingSystemId(id=" +
          (state_->id ? std::to_string(*state_->id) : std::string("none")) +
          ")",
      state_->id, client);
  if (result == kOk) osId = client->osId;
  return result;
}

int QZClient::lookup(void* /*context*/) {
  return Read("lookup", state_->id, state_->loaded);
}

void QZClient::setevmgrcPort(unsigned long long port) {
  qzsim::internal::Journal("setevmgrcPort(" + std::to_string(port) + ")");
  if (state_->loaded) state_->loaded->evmgrcPort = port;
}

void QZClient::setQZDPort(unsigned long long port) {
  qzsim::internal::Journal("setQZDPort(" + std::to_string(port) + ")");
  if (state_->loaded) state_->loaded->qzdPort = port;
}

void QZClient::setInstallDirectory(const std::string& path, int kind) {
  qzsim::internal::Journal("setInstallDirectory(" + path + "," +
                           std::to_string(kind) + ")");
  if (state_->loaded) {
    state_->loaded->installDirectory = path;
    state_->loaded->installDirectoryKind = kind;
  }
}

void QZClient::setOperatingSystemId(int osId) {
  qzsim::internal::Journal("setOperatingSystemId(" + std::to_string(osId) +
                           ")");
  if (state_->loaded) state_->loaded->osId = osId;
}

int QZClient::modify(void* /*context*/) {
  if (!state_->loaded) {
    qzsim::internal::Journal("modify");
    return kNotLookedUp;
  }
  bool found = false;
  if (!UseCatalogue("modify", Access::kWrite, [&](Catalogue& c) {
        found = c.UpdateClient(*state_->loaded);
      })) {
    return kCatalogueFailed;
  }
  return found ? kOk : kNoSuchClient;
}
