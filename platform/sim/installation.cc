#include "sim/installation.h"

#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "facility/message_facility.h"
#include "sim/catalogue.h"
#include "sim/embedded_server.h"
#include "sim/log_store.h"
#include "sim/qzsim.h"

namespace qzsim {
namespace {

constexpr const char* kDefaultHostName = "qzcs01.example.com";
constexpr const char* kDefaultClientName = "qzcs01";
constexpr const char* kDefaultFocus = "Instance001";
constexpr int kDefaultRealmId = 1;

struct Installation {
  std::mutex mutex;
  internal::Facts facts;
  std::string cataloguePath = ":memory:";
  FaultSeam seam;  // declared before the catalogue, which counts on it
  int busyTimeoutMs = Catalogue::kDefaultBusyTimeoutMs;
  std::string lastCatalogueError;
  long long lastCatalogueErrorCode = 0;
  std::unique_ptr<Catalogue> catalogue;
  InstallHandler handler;  // empty: the embedded server answers
  std::optional<int> groupCreateResult;
  std::vector<QZInstallManager::ClientSetup> submitted;
  std::vector<std::string> journal;
  internal::LogStore log;
  std::string logFile;

  Installation() { Reset(); }

  void Reset() {
    facts = {kDefaultHostName, kDefaultClientName, kDefaultFocus,
             kDefaultRealmId};
    cataloguePath = ":memory:";
    seam.Clear();
    busyTimeoutMs = Catalogue::kDefaultBusyTimeoutMs;
    lastCatalogueError.clear();
    lastCatalogueErrorCode = 0;
    catalogue = std::make_unique<Catalogue>(cataloguePath, seam, busyTimeoutMs);
    handler = nullptr;
    groupCreateResult.reset();
    submitted.clear();
    journal.clear();
    log.Clear();
    logFile.clear();
    CNMessageFacility::SetStartResult(0);
  }
};

Installation& The() {
  // Never destroyed: stand-ins may be called from other libraries' static
  // destructors.
  static Installation* const installation = new Installation();
  return *installation;
}

// The last response per thread, so that concurrent submitters never see
// each other's answers.
thread_local std::optional<QZInstallManager::ClientSetup> lastResponse;

const char* KindName(LogLine::Kind kind) {
  switch (kind) {
    case LogLine::Debug:
      return "Debug";
    case LogLine::DebugLvl:
      return "DebugLvl";
    case LogLine::Error:
      return "Error";
    case LogLine::debugUntagged:
      return "debug";
  }
  return "?";
}

}  // namespace

void reset() {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.Reset();
  lastResponse.reset();
}

void openCatalogue(const std::string& path) {
  Installation& sim = The();
  // Opened under the lock: opening counts on the shared seam.
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.catalogue =
      std::make_unique<Catalogue>(path, sim.seam, sim.busyTimeoutMs);
  sim.cataloguePath = path;
}

void setRealmServerHostName(std::optional<std::string> name) {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.facts.realmServerHostName = std::move(name);
}

void setRealmServerClientName(std::string name) {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.facts.realmServerClientName = std::move(name);
}

void setFocus(std::string focus) {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.facts.focus = std::move(focus);
}

void setRealmId(int realmId) {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.facts.realmId = realmId;
}

void setMessageFacilityStartResult(int result) {
  CNMessageFacility::SetStartResult(result);
}

void setInstallHandler(InstallHandler handler) {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.handler = std::move(handler);
}

void useEmbeddedServer() { setInstallHandler(nullptr); }

std::vector<QZInstallManager::ClientSetup> submittedRequests() {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.submitted;
}

long long addClient(const ClientRecord& client) {
  if (client.id < 0 || client.id > kMaxClientId) {
    throw std::invalid_argument("client id " + std::to_string(client.id) +
                                " is outside 1.." +
                                std::to_string(kMaxClientId));
  }
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.catalogue->Atomically(
      [&](Catalogue& catalogue) { return catalogue.AddClient(client); });
}

std::optional<ClientRecord> findClient(long long id) {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.catalogue->FindClient(id);
}

std::optional<ClientRecord> findClientByName(const std::string& name) {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.catalogue->FindClientByName(name);
}

std::vector<ClientRecord> clients() {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.catalogue->Clients();
}

void setGroupCreateResult(int result) {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.groupCreateResult = result;
}

std::vector<GroupRecord> groups() {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.catalogue->Groups();
}

std::string lastCatalogueError() {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.lastCatalogueError;
}

long long lastCatalogueErrorCode() {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.lastCatalogueErrorCode;
}

void setBusyTimeout(int milliseconds) {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.busyTimeoutMs = milliseconds;
  sim.catalogue->SetBusyTimeout(milliseconds);
}

void failCatalogueCall(long long callIndex, int sqliteCode, bool persistent) {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.seam.Arm(callIndex, sqliteCode, persistent);
}

void clearCatalogueFault() {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.seam.Clear();
}

long long catalogueCallCount() {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.seam.calls();
}

std::vector<std::string> catalogueCalls() {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.journal;
}

std::vector<LogLine> logLines() {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.log.Lines();
}

void clearLog() {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.log.Clear();
}

void setLogFile(const std::string& path) {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.logFile = path;
}

std::string render(const CNMessageBase& record) {
  return CNMessageFacility::Render(record);
}

std::string toXml(const CNMessageBase& record) {
  return CNMessageFacility::ToXml(record);
}

CNMessageBase fromXml(const std::string& xml) {
  return CNMessageFacility::FromXml(xml);
}

namespace internal {

Facts CurrentFacts() {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.facts;
}

void Journal(std::string entry) {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  sim.journal.push_back(std::move(entry));
}

void Log(LogLine::Kind kind, std::string_view tag, int level,
         std::string_view text) {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  if (!sim.logFile.empty()) {
    std::ofstream file(sim.logFile, std::ios::app | std::ios::binary);
    file << KindName(kind);
    if (kind == LogLine::DebugLvl) file << '(' << level << ')';
    if (!tag.empty()) file << ' ' << tag;
    file << ": " << text << '\n';
  }
  sim.log.Append(kind, tag, level, text);
}

int Submit(const QZInstallManager::ClientSetup& request,
           QZInstallManager::ClientSetup** response) {
  Installation& sim = The();
  InstallHandler handler;
  {
    std::lock_guard<std::mutex> lock(sim.mutex);
    sim.submitted.push_back(request);
    handler = sim.handler;
  }
  lastResponse.reset();
  int status = 0;
  if (handler) {
    status = handler(request, lastResponse);
  } else {
    lastResponse.emplace();
    std::lock_guard<std::mutex> lock(sim.mutex);
    std::string fault;
    status = ServeClientSetup(*sim.catalogue, {sim.facts.realmServerClientName},
                              request, *lastResponse, fault);
    if (!fault.empty()) {
      sim.lastCatalogueError = std::move(fault);
      // The refusal's setup error names the kind of the fault.
      sim.lastCatalogueErrorCode = qzmsg::Get(
          qzmsg::Get(*lastResponse, QZInstallManager::ClientSetup::kSetupError),
          QZInstallManager::SIMError::kErrorCode);
    }
  }
  *response = lastResponse ? &*lastResponse : nullptr;
  return status;
}

bool UseCatalogue(std::string entry, Access access,
                  const std::function<void(Catalogue&)>& operation) {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  try {
    if (access == Access::kWrite) {
      sim.catalogue->Atomically(operation);
    } else {
      operation(*sim.catalogue);
    }
  } catch (const CatalogueError& error) {
    sim.lastCatalogueError = error.what();
    sim.lastCatalogueErrorCode = error.kind();
    sim.journal.push_back(std::move(entry) + " [failed: " + error.what() + "]");
    return false;
  }
  sim.journal.push_back(std::move(entry));
  return true;
}

std::optional<int> ForcedGroupCreateResult() {
  Installation& sim = The();
  std::lock_guard<std::mutex> lock(sim.mutex);
  return sim.groupCreateResult;
}

}  // namespace internal
}  // namespace qzsim
