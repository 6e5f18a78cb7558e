#include <optional>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "creation/request_parts.h"
#include "creation/response_reading.h"
#include "host/client_catalogue.h"
#include "host/ev_debug.h"

namespace {

using QZInstallManager::SIMError;
using qzmsg::Get;
using qzmsg::IsSet;

}  // namespace

bool AgentLessClientCreation::Initialize(std::string name,
                                         TMMsg::InstallOSType family) {
  std::optional<QZInstallManager::AddOnComponents> agent =
      qzcc::AgentComponent(family);
  if (!agent) return false;
  std::vector<QZInstallManager::AddOnComponents> addOns{*agent};
  return QZClientCreation::Initialize(name, family, addOns, false);
}

bool AgentLessClientCreation::Initialize(std::string name,
                                         std::string groupName,
                                         TMMsg::InstallOSType family) {
  clientGroupName = groupName;
  return Initialize(name, family);
}

bool AgentLessClientCreation::Initialize(std::vector<std::string> names,
                                         std::string groupName,
                                         TMMsg::InstallOSType family) {
  clientGroupName = groupName;
  std::optional<QZInstallManager::AddOnComponents> agent =
      qzcc::AgentComponent(family);
  if (!agent) return false;
  std::vector<QZInstallManager::AddOnComponents> addOns{*agent};
  return QZClientCreation::Initialize(names, family, addOns);
}

bool AgentLessClientCreation::preOperation() { return true; }

bool AgentLessClientCreation::postOperation() {
  EvDebug log(nullptr);
  for (CNMessageBase& composition :
       Get(response, QZInstallManager::ClientSetup::kClientCompositions)) {
    const int id = qzcc::ClientIdOf(composition);
    if (qzcc::HasFailed(composition)) {
      CNMessageBase error(
          Get(composition, QZInstallManager::ClientsComposition::kClientError));
      if (IsSet(error, SIMError::kErrorCode)) {
        log.debug(
            "ProcessClientSetupRequest Failed with errorCode [%lu] for client "
            "%d ",
            static_cast<unsigned long>(Get(error, SIMError::kErrorCode)), id);
      }
      if (IsSet(error, SIMError::kErrorString)) {
        log.debug("Error string [%s]",
                  Get(error, SIMError::kErrorString).c_str());
      }
      continue;
    }
    ClientProperties properties(qzcc::WidenedId(id));
    properties.setMiniSRMAgentClient(true, nullptr);
  }
  return QZClientCreation::postOperation();
}
