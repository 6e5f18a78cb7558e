#include <string>
#include <utility>

#include "QZClientCreation.h"
#include "creation/response_reading.h"
#include "host/ev_debug.h"

namespace {

using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;
using QZInstallManager::SIMError;
using qzmsg::Get;
using qzmsg::IsSet;

constexpr const char* kTag = "VirtualDiscoveredClientCreation::postOperation";

void LogFailedClient(CNMessageBase& composition, EvDebug& log) {
  CNMessageBase error(Get(composition, ClientsComposition::kClientError));
  if (IsSet(error, SIMError::kErrorCode)) {
    log.debug(
        "ProcessClientSetupRequest Failed with errorCode [%lu] for client "
        "[%s] ",
        static_cast<unsigned long>(Get(error, SIMError::kErrorCode)),
        Get(qzcc::ClientEntityOf(composition),
            QzEntities::ClientEntity::kClientName)
            .c_str());
  }
  if (IsSet(error, SIMError::kErrorString)) {
    log.debug("Error string [%s]", Get(error, SIMError::kErrorString).c_str());
  }
}

}  // namespace

VirtualDiscoveredClientCreation::VirtualDiscoveredClientCreation() = default;

VirtualDiscoveredClientCreation::~VirtualDiscoveredClientCreation() = default;

bool VirtualDiscoveredClientCreation::preOperation() { return true; }

bool VirtualDiscoveredClientCreation::postOperation() {
  EvDebug log(nullptr);
  if (!IsSet(response, ClientSetup::kClientCompositions)) {
    log.debug(
        "ProcessClientSetupRequest Response doesn't have client composition, "
        "clients might not have created ");
    return false;
  }
  for (CNMessageBase& composition :
       Get(response, ClientSetup::kClientCompositions)) {
    if (qzcc::HasFailed(composition)) {
      LogFailedClient(composition, log);
      continue;
    }
    CNMessageBase& info = Get(composition, ClientsComposition::kClientInfo);
    CNMessageBase& client = Get(info, App::ClientInfo::kClient);
    CNMessageBase& entity = Get(client, App::Client::kClientEntity);
    CNMessageBase& props = Get(info, App::ClientInfo::kClientProps);

    // The server may name the machine in text295; otherwise the request's
    // key comes back: the GUID, with the alternate id after a comma.
    std::string key = Get(props, App::ClientProps::kText295);
    if (key.empty()) key = Get(props, App::ClientProps::kVmGuid);
    const std::string::size_type comma = key.find(',');
    const std::string guid = key.substr(0, comma);
    const std::string alternateId =
        comma == std::string::npos ? std::string() : key.substr(comma + 1);

    ClientData data;
    data.clientName = Get(entity, QzEntities::ClientEntity::kClientName);
    data.clientId = qzcc::ClientIdIn(entity);
    data.clientNumber = static_cast<int>(Get(client, App::Client::kNumber16));
    data.vmGuid = Get(props, App::ClientProps::kVmGuid);
    data.resultNumber =
        static_cast<int>(Get(props, App::ClientProps::kNumber299));
    // Responses come in key order, so the end is the place to insert.
    const ClientData& filed =
        gClientMap
            .insert_or_assign(gClientMap.end(),
                              alternateId.empty() ? guid : alternateId,
                              std::move(data))
            ->second;
    log.DebugLvl(kTag, 2, "VMGUID [%s] -> Name[%s], Client Id[%lu]",
                 guid.c_str(), filed.clientName.c_str(),
                 static_cast<unsigned long>(filed.clientId));
  }
  return QZClientCreation::postOperation();
}
