// Creation objects whose protected state and hooks tests can reach, a
// catalogue seed, builders for the responses a scripted install service
// returns, and canonical text forms of requests, catalogue and client maps.
#ifndef QZ_TESTS_CREATION_PROBE_H_
#define QZ_TESTS_CREATION_PROBE_H_

#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "messages/records.h"
#include "sim/qzsim.h"

namespace qztest {

// Any creation class with its protected state in reach.
template <class Creation>
class Exposed : public Creation {
 public:
  using Creation::clientDataMap, Creation::clientGroupName, Creation::clientId,
      Creation::clientName, Creation::errorCode, Creation::errorString,
      Creation::hostName, Creation::idList, Creation::intList, Creation::osType,
      Creation::request, Creation::response;
};

// The base object with hooks a test can make fail, counted.
class CreationProbe : public Exposed<QZClientCreation> {
 public:
  bool preResult = true;
  bool postResult = true;
  int postCalls = 0;

  bool preOperation() override { return preResult; }
  bool postOperation() override {
    ++postCalls;
    return postResult;
  }
};

// Seeds the catalogue with a client as an installed agent leaves it (ports
// and install directory set); returns its id.
inline long long Seed(const std::string& name, int osId = 116, long long id = 0,
                      const std::string& host = "", bool deleted = false) {
  return qzsim::addClient(
      {id, name, host, osId, deleted, 8400, 8401, "/opt/agent", 1, false, {}});
}

// Every field of every client of the catalogue, one client a line.
inline std::string RenderCatalogue() {
  std::string out;
  for (const qzsim::ClientRecord& c : qzsim::clients()) {
    out += std::to_string(c.id) + " " + c.name + " host " + c.hostName +
           " os " + std::to_string(c.osId) + (c.deleted ? " deleted" : "") +
           " ports " + std::to_string(c.evmgrcPort) + "/" +
           std::to_string(c.qzdPort) + " dir " + c.installDirectory + "(" +
           std::to_string(c.installDirectoryKind) + ")" +
           (c.agentless ? " agentless" : "") + " groups";
    for (const std::string& group : c.groups) out += " " + group;
    out += "\n";
  }
  return out;
}

// Every field of every entry of a client map, so that a stray write shows.
inline std::string RenderClientMap(
    const std::map<std::string, ClientData>& clients) {
  std::string out;
  for (const auto& [key, d] : clients) {
    out += key + " -> " + d.clientName + "|" + std::to_string(d.clientId) +
           "|" + std::to_string(d.clientNumber) + "|" + d.extraText1 + "|" +
           std::to_string(d.extraNumber) + "|" + d.extraText2 + "|" +
           std::to_string(d.propertyNumber) + "|" +
           std::to_string(d.resultNumber) + "|" + d.vmGuid + "\n";
  }
  return out;
}

inline QZInstallManager::SIMError MakeError(std::optional<long long> code,
                                            std::optional<std::string> text) {
  QZInstallManager::SIMError error;
  if (code) qzmsg::Set(error, QZInstallManager::SIMError::kErrorCode, *code);
  if (text) qzmsg::Set(error, QZInstallManager::SIMError::kErrorString, *text);
  return error;
}

// A response composition for one client: its name and the id the server
// gave it (0: none), optionally with the client's error.
inline QZInstallManager::ClientsComposition MakeComposition(
    const std::string& name, long long id,
    std::optional<QZInstallManager::SIMError> error = std::nullopt) {
  QzEntities::ClientEntity entity;
  qzmsg::Set(entity, QzEntities::ClientEntity::kClientName, name);
  qzmsg::Set(entity, QzEntities::ClientEntity::kClientId, id);
  App::Client client;
  qzmsg::Set(client, App::Client::kClientEntity, entity);
  App::ClientInfo info;
  qzmsg::Set(info, App::ClientInfo::kClient, client);
  QZInstallManager::ClientsComposition composition;
  qzmsg::Set(composition, QZInstallManager::ClientsComposition::kClientInfo,
             info);
  if (error) {
    qzmsg::Set(composition, QZInstallManager::ClientsComposition::kClientError,
               *error);
  }
  return composition;
}

inline QZInstallManager::ClientSetup MakeSetup(
    const std::vector<CNMessageBase>& compositions) {
  QZInstallManager::ClientSetup setup;
  qzmsg::Set(setup, QZInstallManager::ClientSetup::kClientCompositions,
             compositions);
  return setup;
}

// What Execute logs for a client the server failed: the client's name, the
// code and, when not empty, the text.
inline std::string FailureLog(const std::string& name, const std::string& code,
                              const std::string& text = "") {
  std::string out = "debug |Failed to create the client for [" + name +
                    "]|\ndebug |ProcessClientSetupRequest Failed with "
                    "errorCode [" +
                    code + "] |\n";
  return text.empty() ? out : out + "debug |Error string [" + text + "]|\n";
}

// The install service answers every request with `reply` (none: a null
// response) and `status`.
inline void Answer(std::optional<QZInstallManager::ClientSetup> reply,
                   int status = 0) {
  qzsim::setInstallHandler(
      [reply, status](const QZInstallManager::ClientSetup&,
                      std::optional<QZInstallManager::ClientSetup>& out) {
        out = reply;
        return status;
      });
}

// The rendered tree on one line; the braces keep its shape.
inline std::string Flat(const CNMessageBase& record) {
  std::istringstream lines(qzsim::render(record));
  std::string out;
  for (std::string line; std::getline(lines, line);) {
    out += (out.empty() ? "" : " ") + line.substr(line.find_first_not_of(' '));
  }
  return out;
}

// The flat components of every composition of `request`, in order.
inline std::vector<std::string> Packages(CNMessageBase& request) {
  std::vector<std::string> out;
  for (CNMessageBase& composition : qzmsg::Get(
           request, QZInstallManager::ClientSetup::kClientCompositions)) {
    out.push_back(Flat(qzmsg::Get(
        composition, QZInstallManager::ClientsComposition::kComponents)));
  }
  return out;
}

// The flat start of a request with the simulation's defaults, up to its
// client list.
inline std::string FlatHeader(const std::string& setupKind) {
  return R"(ClientSetup { number1: 0 number2: 0 user: UserEntity { userId: 1 )"
         R"(userName: "admin" } setupKind: )" +
         setupKind +
         R"( focusName: "Instance001" serverClientInfo: RSClientInfo { )"
         R"(serverClient: ClientEntity { clientName: "qzcs01" hostName: )"
         R"("qzcs01.example.com" } } clientCompositions: [)";
}

// Flat components holding one agent package per id, in order.
inline std::string FlatComponents(const std::vector<long long>& packageIds) {
  std::string out = "Components { packages: [";
  for (long long id : packageIds) {
    out += " PackageInformation { packageId: " + std::to_string(id) +
           " number14: 0 }";
  }
  return out + " ] }";
}

}  // namespace qztest

#endif  // QZ_TESTS_CREATION_PROBE_H_
