#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "creation/request_parts.h"
#include "host/ev_debug.h"

namespace {

using qzmsg::Set;

using qzcc::kInitializeTag;
using qzcc::kNoClientId;

}  // namespace

bool QZClientCreation::Initialize(
    std::vector<std::string> clientNames, TMMsg::InstallOSType family,
    std::vector<QZInstallManager::AddOnComponents>& addOns) {
  EvDebug log(nullptr);
  const std::vector<CNMessageBase> groups =
      qzcc::PrepareClientGroup(clientGroupName, log, kInitializeTag);

  osType = family;
  errorCode = 0;
  errorString = "";

  qzcc::ServerIdentity server;
  if (!qzcc::ReadServerIdentity(server, log, kInitializeTag)) return false;
  qzcc::SetRequestHeader(request, server, qzcc::kNamedClientsSetup);
  qzcc::SetRequestingUser(request);

  const App::VersionInfo version = qzcc::MakeVersionInfo();
  const App::OperatingSystem os = qzcc::MakeOperatingSystem(osType);
  std::vector<CNMessageBase> compositions;
  compositions.reserve(clientNames.size());
  for (const std::string& name : clientNames) {
    QzEntities::ClientEntity entity;
    App::ClientInfo info;
    App::Client client;
    App::ClientProps props;
    Set(props, App::ClientProps::kNumber2, 0);
    Set(props, App::ClientProps::kNumber23, 0);
    clientId = kNoClientId;
    // Each client is declared under its own name: one host name cannot
    // serve several clients.
    Set(entity, QzEntities::ClientEntity::kClientName, name);
    Set(entity, QzEntities::ClientEntity::kHostName, name);
    Set(props, App::ClientProps::kNumber168, 1);
    Set(info, App::ClientInfo::kClientProps, props);
    Set(client, App::Client::kVersionInfo, version);
    if (!groups.empty()) Set(info, App::ClientInfo::kClientGroups, groups);
    Set(client, App::Client::kClientEntity, entity);
    Set(client, App::Client::kOperatingSystem, os);
    Set(info, App::ClientInfo::kClient, client);
    QZInstallManager::ClientsComposition composition;
    Set(composition, QZInstallManager::ClientsComposition::kClientInfo, info);
    qzcc::AttachPackages(composition, addOns);
    compositions.push_back(composition);
  }
  Set(request, QZInstallManager::ClientSetup::kClientCompositions,
      compositions);
  return true;
}

bool QZClientCreation::Initialize(std::vector<std::string> clientNames) {
  std::vector<QZInstallManager::AddOnComponents> noAddOns;
  return Initialize(clientNames, TMMsg::INSTALL_OS_ANY, noAddOns);
}
