#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "creation/request_parts.h"
#include "host/client_catalogue.h"
#include "host/ev_debug.h"

namespace {

using qzmsg::Set;

using qzcc::kInitializeTag;
using qzcc::kNoClientId;

}  // namespace

bool QZClientCreation::Initialize(
    std::string name, TMMsg::InstallOSType family,
    std::vector<QZInstallManager::AddOnComponents>& addOns,
    bool compositionFlag) {
  clientName = name;
  osType = family;
  QZClient known(clientName, QZ_NAME_TYPE_CLIENT_NAME, 0, nullptr);
  EvDebug log(nullptr);

  QzEntities::ClientEntity entity;
  App::ClientInfo info;
  App::Client client;
  App::ClientProps props;
  Set(props, App::ClientProps::kNumber23, 0);

  clientId = kNoClientId;
  errorCode = 0;
  errorString = "";

  // A client the catalogue does not hold, or holds as deleted, is declared
  // with the details a new client needs.
  bool needsDetails = false;
  if (known.getClientId(clientId, nullptr) == 0) {
    known.isDeleted(needsDetails, nullptr);
    known.getNetworkHostname(hostName, nullptr);
  } else {
    clientId = kNoClientId;
    needsDetails = true;
  }
  const std::vector<CNMessageBase> groups =
      qzcc::PrepareClientGroup(clientGroupName, log, kInitializeTag);

  Set(entity, QzEntities::ClientEntity::kClientName, clientName);
  Set(entity, QzEntities::ClientEntity::kHostName,
      hostName.empty() ? clientName : hostName);

  qzcc::ServerIdentity server;
  if (!qzcc::ReadServerIdentity(server, log, kInitializeTag)) return false;
  qzcc::SetRequestHeader(request, server, qzcc::kNamedClientsSetup);
  qzcc::SetRequestingUser(request);

  Set(info, App::ClientInfo::kClientProps, props);
  if (!groups.empty()) Set(info, App::ClientInfo::kClientGroups, groups);
  Set(client, App::Client::kVersionInfo, qzcc::MakeVersionInfo());
  if (needsDetails) {
    Set(client, App::Client::kNumber17, 0);
    Set(client, App::Client::kNumber16, 0);
    Set(client, App::Client::kText19, qzcc::kNotApplicable);
    Set(client, App::Client::kOperatingSystem,
        qzcc::MakeOperatingSystem(osType));
  }
  Set(client, App::Client::kClientEntity, entity);
  Set(info, App::ClientInfo::kClient, client);
  QZInstallManager::ClientsComposition composition;
  Set(composition, QZInstallManager::ClientsComposition::kClientInfo, info);
  Set(composition, QZInstallManager::ClientsComposition::kNumber6,
      compositionFlag ? 1 : 0);
  qzcc::AttachPackages(composition, addOns);

  Set(request, QZInstallManager::ClientSetup::kClientCompositions,
      std::vector<CNMessageBase>{composition});
  return true;
}

bool QZClientCreation::Initialize(std::string name) {
  clientName = name;
  std::vector<QZInstallManager::AddOnComponents> noAddOns;
  return Initialize(name, TMMsg::INSTALL_OS_ANY, noAddOns, false);
}

bool QZClientCreation::Initialize(
    std::string name, TMMsg::InstallOSType family, std::string host,
    std::vector<QZInstallManager::AddOnComponents>& addOns,
    bool compositionFlag) {
  hostName = host;
  return Initialize(name, family, addOns, compositionFlag);
}

bool QZClientCreation::Initialize(
    std::string name, std::string groupName, TMMsg::InstallOSType family,
    std::vector<QZInstallManager::AddOnComponents>& addOns) {
  clientGroupName = groupName;
  return Initialize(name, family, addOns, false);
}
