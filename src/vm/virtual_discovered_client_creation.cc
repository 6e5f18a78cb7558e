#include <string>
#include <utility>

#include "QZClientCreation.h"
#include "creation/response_reading.h"
#include "host/ev_debug.h"
#include "vm/client_map.h"

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
    std::string vmGuid = Get(props, App::ClientProps::kVmGuid);
    std::string key = Get(props, App::ClientProps::kText295);
    if (key.empty()) key = vmGuid;
    // Split in place: a million machines make a million GUIDs, and each
    // copy of one is an allocation.
    std::string alternateId;
    const std::string::size_type comma = key.find(',');
    if (comma != std::string::npos) {
      alternateId = key.substr(comma + 1);
      key.resize(comma);
    }
    std::string clientName = Get(entity, QzEntities::ClientEntity::kClientName);
    const int clientId = qzcc::ClientIdIn(entity);
    const auto clientNumber =
        static_cast<int>(Get(client, App::Client::kNumber16));
    const auto resultNumber =
        static_cast<int>(Get(props, App::ClientProps::kNumber299));

    const bool byGuid = alternateId.empty();
    const auto filed = qzcc::FreshEntry(
        gClientMap, byGuid ? std::move(key) : std::move(alternateId));
    ClientData& data = filed->second;
    data.clientName = std::move(clientName);
    data.clientId = clientId;
    data.clientNumber = clientNumber;
    data.resultNumber = resultNumber;
    data.vmGuid = std::move(vmGuid);
    const std::string& guid = byGuid ? filed->first : key;
    log.DebugLvl(kTag, 2, "VMGUID [%s] -> Name[%s], Client Id[%lu]",
                 guid.c_str(), filed->second.clientName.c_str(),
                 static_cast<unsigned long>(filed->second.clientId));
  }
  return QZClientCreation::postOperation();
}
