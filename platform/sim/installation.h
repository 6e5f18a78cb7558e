// What the platform stand-ins ask of the simulated installation. Each call
// takes the installation's lock for its own duration.
#ifndef QZ_PLATFORM_SIM_INSTALLATION_H_
#define QZ_PLATFORM_SIM_INSTALLATION_H_

#include <optional>
#include <string>

#include "sim/qzsim.h"

namespace qzsim::internal {

struct Facts {
  std::optional<std::string> realmServerHostName;
  std::string realmServerClientName;
  std::string focus;
  int realmId;
};

Facts CurrentFacts();

void Journal(std::string entry);
void Log(LogLine line);

// The install service: the scripted handler when one is set, otherwise the
// embedded server. `*response` is left null or pointed at a record that stays
// valid until the calling thread submits again.
int Submit(const QZInstallManager::ClientSetup& request,
           QZInstallManager::ClientSetup** response);

std::optional<ClientRecord> FindClient(long long id);
std::optional<ClientRecord> FindClientByName(const std::string& name);
// False when the client no longer exists.
bool UpdateClient(const ClientRecord& client);
// QZClientGroup::create's result: forced, or 0 for a new group and 1 for
// one that exists in that realm.
int CreateGroup(unsigned long long realmId, const std::string& name);

}  // namespace qzsim::internal

#endif  // QZ_PLATFORM_SIM_INSTALLATION_H_
