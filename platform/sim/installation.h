// What the platform stand-ins ask of the simulated installation. Each call
// takes the installation's lock for its own duration.
#ifndef QZ_PLATFORM_SIM_INSTALLATION_H_
#define QZ_PLATFORM_SIM_INSTALLATION_H_

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "sim/catalogue.h"
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
// One line of the stand-in logger; the views need live only for the call.
void Log(LogLine::Kind kind, std::string_view tag, int level,
         std::string_view text);

// The install service: the scripted handler when one is set, otherwise the
// embedded server. `*response` is left null or pointed at a record that stays
// valid until the calling thread submits again.
int Submit(const QZInstallManager::ClientSetup& request,
           QZInstallManager::ClientSetup** response);

enum class Access { kRead, kWrite };

// One stand-in catalogue call: runs `operation` under the installation's
// lock, a kWrite one as a single transaction, and journals `entry`. On a
// catalogue fault the work is rolled back, the reason is kept for
// lastCatalogueError and appended to the entry as " [failed: <reason>]", and
// the result is false. Other exceptions pass through, rolled back too.
bool UseCatalogue(std::string entry, Access access,
                  const std::function<void(Catalogue&)>& operation);

// QZClientGroup::create's forced result, if one is set.
std::optional<int> ForcedGroupCreateResult();

}  // namespace qzsim::internal

#endif  // QZ_PLATFORM_SIM_INSTALLATION_H_
