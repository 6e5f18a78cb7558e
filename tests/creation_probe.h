// A creation object whose protected state and hooks tests can reach, and
// builders for the responses a scripted install service returns.
#ifndef QZ_TESTS_CREATION_PROBE_H_
#define QZ_TESTS_CREATION_PROBE_H_

#include <optional>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "messages/records.h"

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

}  // namespace qztest

#endif  // QZ_TESTS_CREATION_PROBE_H_
