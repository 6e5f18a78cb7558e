// The steps every request builder shares: the central server's identity and
// the request header, the requesting user, the version, the operating
// system by family, the client group and the packages.
#ifndef QZ_CREATION_REQUEST_PARTS_H_
#define QZ_CREATION_REQUEST_PARTS_H_

#include <optional>
#include <string>
#include <vector>

#include "host/ev_debug.h"
#include "messages/records.h"

namespace qzcc {

// Tag of the named-client builders' log lines.
constexpr const char kInitializeTag[] = "QZClientCreation::Initialize";

// setupKind of the requests for named clients.
constexpr long long kNamedClientsSetup = 0;

// The placeholder the server takes for a path or detail not known yet.
constexpr const char kNotApplicable[] = "N/A";

// The clientId member's value while no id is held.
constexpr unsigned long long kNoClientId = ~0ULL;

// Add-on components and the agent packages they stand for.
constexpr long long kWindowsAgentComponent = 600;
constexpr long long kUnixAgentComponent = 605;
constexpr long long kWindowsAgentPackage = 402;
constexpr long long kUnixAgentPackage = 1123;

struct ServerIdentity {
  std::string hostName;
  std::string clientName;
};

// Reads the central server's host name, then its client name. False, with
// the failure logged under `tag`, when the host name is not available.
bool ReadServerIdentity(ServerIdentity& server, EvDebug& log, const char* tag);

// The central server's client info, the two zero numbers, the setup kind and
// the current focus.
void SetRequestHeader(QZInstallManager::ClientSetup& request,
                      const ServerIdentity& server, long long setupKind);

// The user every request is made as.
void SetRequestingUser(QZInstallManager::ClientSetup& request);

App::VersionInfo MakeVersionInfo();

// The operating system a named client is declared with, by family; any
// family other than Windows and Unix is declared as "Any".
App::OperatingSystem MakeOperatingSystem(TMMsg::InstallOSType family);

// Creates the client group on the central server when one is named (a
// failure is logged and passed over) and returns the group list each client
// joins: one entry, or none when `groupName` is empty.
std::vector<CNMessageBase> PrepareClientGroup(const std::string& groupName,
                                              EvDebug& log, const char* tag);

// Attaches one package per add-on component, in order; nothing when there
// are none.
void AttachPackages(
    CNMessageBase& composition,
    const std::vector<QZInstallManager::AddOnComponents>& addOns);

// Attaches exactly one package.
void AttachPackage(CNMessageBase& composition, long long packageId);

// The agent component of a family; none for families other than Windows and
// Unix.
std::optional<QZInstallManager::AddOnComponents> AgentComponent(
    TMMsg::InstallOSType family);

}  // namespace qzcc

#endif  // QZ_CREATION_REQUEST_PARTS_H_
