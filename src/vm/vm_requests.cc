#include <strings.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "creation/request_parts.h"
#include "host/ev_debug.h"

namespace {

using qzmsg::Get;
using qzmsg::Set;

constexpr const char* kTag = "VirtualDiscoveredClientCreation::Initialize";

// setupKind of the two kinds of virtual-machine request.
constexpr long long kMachineListSetup = 20;
constexpr long long kClientDataSetup = 34;

constexpr const char* kReplacement = "_";

std::string ClientNameOf(const std::string& machineName) {
  std::string name = machineName;
  replaceSpecialChars(name, kReplacement);
  return name;
}

// Starts the message facility; false, logged, when it does not start.
bool StartFacility(EvDebug& log) {
  const int result = CNMessageBase::Initialize();
  if (result == 0) return true;
  log.DebugLvl(kTag, 1, "Error [%d] returned from CNMessageBase::Initialize.",
               result);
  return false;
}

// The machine's operating system as the server expects it: Darwin machines
// report version 6; others keep only the version "New".
App::OperatingSystem AdjustedOperatingSystem(const VirtualMachine& machine) {
  App::OperatingSystem os(machine.operatingSystem);
  if (strcasecmp(Get(os, App::OperatingSystem::kOsFlavor).c_str(), "Darwin") ==
      0) {
    Set(os, App::OperatingSystem::kOsVersion, "6");
  } else if (strcasecmp(Get(os, App::OperatingSystem::kOsVersion).c_str(),
                        "New") != 0) {
    Set(os, App::OperatingSystem::kOsVersion, "Any");
  }
  return os;
}

// Fields are set in their classes' order: a record then grows at its end.
QZInstallManager::ClientsComposition MachineComposition(
    const VirtualMachine& machine, const App::VersionInfo& version,
    const std::vector<CNMessageBase>& groups, bool withPackage) {
  QzEntities::ClientEntity entity;
  Set(entity, QzEntities::ClientEntity::kClientName,
      ClientNameOf(machine.name));
  Set(entity, QzEntities::ClientEntity::kHostName, machine.hostName);
  Set(entity, QzEntities::ClientEntity::kDisplayName, machine.name);

  App::ClientProps props;
  Set(props, App::ClientProps::kNumber2, 0);
  Set(props, App::ClientProps::kNumber23, 0);
  Set(props, App::ClientProps::kAttributes, std::vector<CNMessageBase>());
  Set(props, App::ClientProps::kNumber168, 1);
  Set(props, App::ClientProps::kVmGuid,
      machine.alternateId.empty() ? machine.guid
                                  : machine.guid + "," + machine.alternateId);
  Set(props, App::ClientProps::kText174, machine.propertyText);
  Set(props, App::ClientProps::kVmName, machine.name);
  Set(props, App::ClientProps::kVmHostName, machine.hostName);
  Set(props, App::ClientProps::kNumber271,
      static_cast<long long>(machine.propertyNumber));

  App::FilePath path;
  Set(path, App::FilePath::kPath, qzcc::kNotApplicable);
  const App::OperatingSystem os = AdjustedOperatingSystem(machine);
  App::Client client;
  Set(client, App::Client::kClientEntity, entity);
  Set(client, App::Client::kOperatingSystem, os);
  Set(client, App::Client::kFilePath, path);
  Set(client, App::Client::kText19, qzcc::kNotApplicable);
  Set(client, App::Client::kVersionInfo, version);

  App::ClientInfo info;
  Set(info, App::ClientInfo::kClient, client);
  Set(info, App::ClientInfo::kClientProps, props);
  if (!groups.empty()) Set(info, App::ClientInfo::kClientGroups, groups);

  QZInstallManager::ClientsComposition composition;
  Set(composition, QZInstallManager::ClientsComposition::kClientInfo, info);
  if (withPackage) {
    qzcc::AttachPackage(composition, machine.osType == TMMsg::INSTALL_OS_WINDOWS
                                         ? qzcc::kWindowsAgentPackage
                                         : qzcc::kUnixAgentPackage);
  }
  return composition;
}

QZInstallManager::ClientsComposition ClientDataComposition(
    const std::string& guid, const ClientData& data) {
  App::ClientProps props;
  Set(props, App::ClientProps::kVmGuid, guid);
  Set(props, App::ClientProps::kVmName, data.clientName);
  Set(props, App::ClientProps::kNumber271,
      static_cast<long long>(data.propertyNumber));

  QzEntities::ClientEntity entity;
  Set(entity, QzEntities::ClientEntity::kClientId, 0);
  Set(entity, QzEntities::ClientEntity::kClientName,
      ClientNameOf(data.clientName));
  Set(entity, QzEntities::ClientEntity::kDisplayName, data.clientName);

  App::Client client;
  Set(client, App::Client::kClientEntity, entity);
  App::ClientInfo info;
  Set(info, App::ClientInfo::kClient, client);
  Set(info, App::ClientInfo::kClientProps, props);
  QZInstallManager::ClientsComposition composition;
  Set(composition, QZInstallManager::ClientsComposition::kClientInfo, info);
  return composition;
}

}  // namespace

bool VirtualDiscoveredClientCreation::Initialize(
    std::vector<VirtualMachine> machines, std::string groupName,
    bool withPackage, int installerFlagsValue, int setupValue) {
  EvDebug log(nullptr);
  gClientMap.clear();
  if (!StartFacility(log)) return false;

  clientGroupName = groupName;
  errorCode = 0;
  errorString = "";
  const std::vector<CNMessageBase> groups =
      qzcc::PrepareClientGroup(clientGroupName, log, kTag);

  qzcc::ServerIdentity server;
  if (!qzcc::ReadServerIdentity(server, log, kTag)) return false;
  qzcc::SetRequestHeader(request, server, kMachineListSetup);
  QZInstallManager::InstallerFlags flags;
  Set(flags, QZInstallManager::InstallerFlags::kNumber70, installerFlagsValue);
  Set(request, QZInstallManager::ClientSetup::kInstallerFlags, flags);
  Set(request, QZInstallManager::ClientSetup::kNumber30, setupValue);
  qzcc::SetRequestingUser(request);

  const App::VersionInfo version = qzcc::MakeVersionInfo();
  std::vector<CNMessageBase> compositions;
  compositions.reserve(machines.size());
  for (const VirtualMachine& machine : machines) {
    compositions.push_back(
        MachineComposition(machine, version, groups, withPackage));
  }
  Set(request, QZInstallManager::ClientSetup::kClientCompositions,
      compositions);
  return true;
}

bool VirtualDiscoveredClientCreation::Initialize(
    std::vector<std::string> clientNames, std::string groupName,
    TMMsg::InstallOSType family, bool withPackage) {
  clientGroupName = groupName;
  return Initialize(clientNames, family, withPackage);
}

bool VirtualDiscoveredClientCreation::Initialize(
    std::vector<std::string> clientNames, TMMsg::InstallOSType family,
    bool withPackage) {
  std::vector<QZInstallManager::AddOnComponents> addOns;
  if (withPackage) {
    std::optional<QZInstallManager::AddOnComponents> agent =
        qzcc::AgentComponent(family);
    if (!agent) return false;
    addOns.push_back(*agent);
  }
  return QZClientCreation::Initialize(clientNames, family, addOns);
}

bool VirtualDiscoveredClientCreation::Initialize(
    const std::map<std::string, ClientData>& vmClients) {
  EvDebug log(nullptr);
  errorCode = 0;
  errorString = "";
  gClientMap.clear();
  if (!StartFacility(log)) {
    errorString = "Failed to initialize CNMessageBase::Initialize";
    return false;
  }
  qzcc::ServerIdentity server;
  if (!qzcc::ReadServerIdentity(server, log, kTag)) {
    errorString = "getRealmServerHostName failed !!!";
    return false;
  }
  qzcc::SetRequestHeader(request, server, kClientDataSetup);
  qzcc::SetRequestingUser(request);

  std::vector<CNMessageBase> compositions;
  compositions.reserve(vmClients.size());
  for (const auto& [guid, data] : vmClients) {
    compositions.push_back(ClientDataComposition(guid, data));
  }
  Set(request, QZInstallManager::ClientSetup::kClientCompositions,
      compositions);
  return true;
}
