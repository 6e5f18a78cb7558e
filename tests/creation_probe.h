// A creation object whose protected state and hooks tests can reach,
// builders for the responses a scripted install service returns, and the
// one-line forms of rendered requests.
#ifndef QZ_TESTS_CREATION_PROBE_H_
#define QZ_TESTS_CREATION_PROBE_H_

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "messages/records.h"
#include "sim/qzsim.h"

namespace qztest {

class CreationProbe : public QZClientCreation {
 public:
  using QZClientCreation::clientGroupName;
  using QZClientCreation::clientId;
  using QZClientCreation::clientName;
  using QZClientCreation::hostName;
  using QZClientCreation::osType;
  using QZClientCreation::request;
  using QZClientCreation::response;

  bool preResult = true;
  bool postResult = true;
  int preCalls = 0;
  int postCalls = 0;

  bool preOperation() override {
    ++preCalls;
    return preResult;
  }
  bool postOperation() override {
    ++postCalls;
    return postResult;
  }
};

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
