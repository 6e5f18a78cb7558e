#include <optional>
#include <string>

#include "host/client_catalogue.h"
#include "sim/installation.h"

namespace {

constexpr int kOk = 0;
constexpr int kNoSuchClient = 1;
constexpr int kNotLookedUp = 2;

}  // namespace

// A client opened by name is resolved when it is opened; one opened by id is
// read on each call. Changes are staged on the looked-up record until modify.
struct QZClient::State {
  std::optional<unsigned long long> id;
  std::optional<qzsim::ClientRecord> loaded;

  std::optional<qzsim::ClientRecord> Read() const {
    return id ? qzsim::internal::FindClient(static_cast<long long>(*id))
              : std::nullopt;
  }
};

QZClient::QZClient(const std::string& name, QZNameType type,
                   unsigned long long /*number*/, void* /*context*/)
    : state_(std::make_unique<State>()) {
  qzsim::internal::Journal("QZClient(name=" + name + ")");
  if (type == QZ_NAME_TYPE_CLIENT_NAME) {
    if (auto client = qzsim::internal::FindClientByName(name)) {
      state_->id = static_cast<unsigned long long>(client->id);
    }
  }
}

QZClient::QZClient(unsigned long long clientId)
    : state_(std::make_unique<State>()) {
  qzsim::internal::Journal("QZClient(id=" + std::to_string(clientId) + ")");
  state_->id = clientId;
}

QZClient::~QZClient() = default;

int QZClient::getClientId(unsigned long long& clientId, void* /*context*/) {
  qzsim::internal::Journal("getClientId");
  auto client = state_->Read();
  if (!client) return kNoSuchClient;
  clientId = static_cast<unsigned long long>(client->id);
  return kOk;
}

int QZClient::isDeleted(bool& deleted, void* /*context*/) {
  qzsim::internal::Journal("isDeleted");
  auto client = state_->Read();
  if (!client) return kNoSuchClient;
  deleted = client->deleted;
  return kOk;
}

int QZClient::getNetworkHostname(std::string& hostName, void* /*context*/) {
  qzsim::internal::Journal("getNetworkHostname");
  auto client = state_->Read();
  if (!client) return kNoSuchClient;
  hostName = client->hostName;
  return kOk;
}

int QZClient::getOperatingSystemId(int& osId, void* /*context*/) {
  qzsim::internal::Journal(
      "getOperatingSystemId(id=" +
      (state_->id ? std::to_string(*state_->id) : std::string("none")) + ")");
  auto client = state_->Read();
  if (!client) return kNoSuchClient;
  osId = client->osId;
  return kOk;
}

int QZClient::lookup(void* /*context*/) {
  qzsim::internal::Journal("lookup");
  state_->loaded = state_->Read();
  return state_->loaded ? kOk : kNoSuchClient;
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
  qzsim::internal::Journal("modify");
  if (!state_->loaded) return kNotLookedUp;
  return qzsim::internal::UpdateClient(*state_->loaded) ? kOk : kNoSuchClient;
}
