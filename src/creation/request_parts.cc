#include "creation/request_parts.h"

#include <string>
#include <vector>

#include "creation/response_reading.h"
#include "host/client_catalogue.h"
#include "host/platform_facts.h"

namespace qzcc {
namespace {

using qzmsg::Get;
using qzmsg::Set;

constexpr int kHostNameBufferSize = 1024;
constexpr int kDefaultRealmId = 2;  // stands in for a realm id of 0

constexpr long long kRequestingUserId = 1;
constexpr const char* kRequestingUserName = "admin";
constexpr const char* kVersion = "BUILD80";
constexpr const char* kRelease = "11.0";
constexpr long long kWindowsServerOsId = 313;
constexpr const char* kBlank = " ";  // fields the server wants non-empty

long long PackageFor(long long componentId) {
  return static_cast<int>(componentId) == kWindowsAgentComponent
             ? kWindowsAgentPackage
             : kUnixAgentPackage;
}

QZInstallManager::Components MakeComponents(
    const std::vector<CNMessageBase>& packages) {
  QZInstallManager::Components components;
  Set(components, QZInstallManager::Components::kPackages, packages);
  return components;
}

QZInstallManager::PackageInformation MakePackage(long long packageId) {
  QZInstallManager::PackageInformation package;
  Set(package, QZInstallManager::PackageInformation::kPackageId, packageId);
  Set(package, QZInstallManager::PackageInformation::kNumber14, 0);
  return package;
}

}  // namespace

bool ReadServerIdentity(ServerIdentity& server, EvDebug& log, const char* tag) {
  QZPI_PlatformBase platform;
  char buffer[kHostNameBufferSize] = {};
  if (platform.getRealmServerHostName(buffer, kHostNameBufferSize) == 0) {
    log.Debug(tag, "getRealmServerHostName failed !!!");
    return false;
  }
  buffer[kHostNameBufferSize - 1] = '\0';  // whatever the platform wrote
  server.hostName = buffer;
  server.clientName = platform.getRealmServerClientName();
  return true;
}

void SetRequestHeader(QZInstallManager::ClientSetup& request,
                      const ServerIdentity& server, long long setupKind) {
  QzEntities::ClientEntity serverClient;
  Set(serverClient, QzEntities::ClientEntity::kClientName, server.clientName);
  Set(serverClient, QzEntities::ClientEntity::kHostName, server.hostName);
  QZInstallManager::RSClientInfo serverInfo;
  Set(serverInfo, QZInstallManager::RSClientInfo::kServerClient, serverClient);
  Set(request, QZInstallManager::ClientSetup::kServerClientInfo, serverInfo);
  Set(request, QZInstallManager::ClientSetup::kNumber1, 0);
  Set(request, QZInstallManager::ClientSetup::kNumber2, 0);
  Set(request, QZInstallManager::ClientSetup::kSetupKind, setupKind);
  Set(request, QZInstallManager::ClientSetup::kFocusName,
      std::string(QZPI_Focus::getFocus()));
}

void SetRequestingUser(QZInstallManager::ClientSetup& request) {
  QzEntities::UserEntity user;
  Set(user, QzEntities::UserEntity::kUserId, kRequestingUserId);
  Set(user, QzEntities::UserEntity::kUserName, kRequestingUserName);
  Set(request, QZInstallManager::ClientSetup::kUser, user);
}

App::VersionInfo MakeVersionInfo() {
  QzEntities::BeaconReleaseEnity release;
  Set(release, QzEntities::BeaconReleaseEnity::kReleaseName, kRelease);
  App::VersionInfo version;
  Set(version, App::VersionInfo::kVersion, kVersion);
  Set(version, App::VersionInfo::kRelease, release);
  return version;
}

App::OperatingSystem MakeOperatingSystem(TMMsg::InstallOSType family) {
  const char* processor = "Any";
  const char* flavor = "Any";
  const char* name = "Any";
  if (family == TMMsg::INSTALL_OS_WINDOWS) {
    processor = "X86";
    flavor = "Server";
    name = "Windows";
  } else if (family == TMMsg::INSTALL_OS_UNIX) {
    name = "Unix";
  }
  App::OperatingSystem os;
  Set(os, App::OperatingSystem::kProcessor, processor);
  Set(os, App::OperatingSystem::kOsFlavor, flavor);
  Set(os, App::OperatingSystem::kOsFamily, name);
  Set(os, App::OperatingSystem::kOsVersion, kBlank);
  if (family == TMMsg::INSTALL_OS_WINDOWS) {
    Set(os, App::OperatingSystem::kOsId, kWindowsServerOsId);
  }
  App::OSDisplayInfo display;
  Set(display, App::OSDisplayInfo::kDisplayName, name);
  Set(display, App::OSDisplayInfo::kText5, kBlank);
  Set(display, App::OSDisplayInfo::kText9, kBlank);
  Set(os, App::OperatingSystem::kDisplayInfo, display);
  return os;
}

std::vector<CNMessageBase> PrepareClientGroup(const std::string& groupName,
                                              EvDebug& log, const char* tag) {
  std::vector<CNMessageBase> groups;
  if (groupName.empty()) return groups;

  QZPI_RealmServer realm;
  int realmId = realm.getRealmId();
  if (realmId == 0) {
    log.Debug(tag, " realm Id is zero, using 2");
    realmId = kDefaultRealmId;
  }
  log.Debug(tag, "client group [%s] realmId [%d]", groupName.c_str(), realmId);
  QZClientGroup group(WidenedId(realmId), groupName);
  const int result = group.create(nullptr);
  if (result != 0) {
    log.DebugLvl(tag, 2,
                 "Failed to create client group %s, error %d, continuing",
                 groupName.c_str(), result);
  }

  QzEntities::ClientGroupEntity entry;
  Set(entry, QzEntities::ClientGroupEntity::kClientGroupName, groupName);
  groups.push_back(entry);
  return groups;
}

void AttachPackages(
    CNMessageBase& composition,
    const std::vector<QZInstallManager::AddOnComponents>& addOns) {
  if (addOns.empty()) return;
  std::vector<CNMessageBase> packages;
  packages.reserve(addOns.size());
  for (const QZInstallManager::AddOnComponents& addOn : addOns) {
    packages.push_back(MakePackage(PackageFor(
        Get(addOn, QZInstallManager::AddOnComponents::kComponentId))));
  }
  Set(composition, QZInstallManager::ClientsComposition::kComponents,
      MakeComponents(packages));
}

void AttachPackage(CNMessageBase& composition, long long packageId) {
  Set(composition, QZInstallManager::ClientsComposition::kComponents,
      MakeComponents({MakePackage(packageId)}));
}

std::optional<QZInstallManager::AddOnComponents> AgentComponent(
    TMMsg::InstallOSType family) {
  long long componentId = 0;
  if (family == TMMsg::INSTALL_OS_WINDOWS) {
    componentId = kWindowsAgentComponent;
  } else if (family == TMMsg::INSTALL_OS_UNIX) {
    componentId = kUnixAgentComponent;
  } else {
    return std::nullopt;
  }
  QZInstallManager::AddOnComponents component;
  Set(component, QZInstallManager::AddOnComponents::kComponentId, componentId);
  Set(component, QZInstallManager::AddOnComponents::kNumber1, 0);
  return component;
}

}  // namespace qzcc
