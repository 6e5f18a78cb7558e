#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "creation/request_parts.h"
#include "creation/response_reading.h"
#include "host/client_catalogue.h"
#include "host/ev_debug.h"
#include "host/install_client.h"

namespace {

using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;
using QZInstallManager::SIMError;
using qzmsg::Get;
using qzmsg::IsSet;

constexpr const char* kTag = "QZClientCreation::Execute";

// The operating-system id the central server gives a client it pre-declared,
// and the ids such a client gets once its family is known.
constexpr int kPreDeclaredOsId = 116;
constexpr int kWindowsOsId = 21;
constexpr int kUnixOsId = 20;

// Install-directory kind of the placeholder directory "N/A".
constexpr int kPlaceholderDirectoryKind = 4;

// Logs the code and the text of an error record, each when present, and
// makes them the object's error state.
void AdoptError(QZClientCreation& creation, CNMessageBase& error,
                EvDebug& log) {
  if (IsSet(error, SIMError::kErrorCode)) {
    const auto code =
        static_cast<unsigned long long>(Get(error, SIMError::kErrorCode));
    log.debug("ProcessClientSetupRequest Failed with errorCode [%lu] ",
              static_cast<unsigned long>(code));
    creation.setErrorCode(code);
  }
  if (IsSet(error, SIMError::kErrorString)) {
    const std::string text = Get(error, SIMError::kErrorString);
    log.debug("Error string [%s]", text.c_str());
    creation.setErrorString(text);
  }
}

// Logs every failed client and keeps the code of the last one, and the text
// of the last one that carried a text.
void RecordClientErrors(QZClientCreation& creation, ClientSetup& reply,
                        EvDebug& log) {
  if (!IsSet(reply, ClientSetup::kClientCompositions)) return;
  for (CNMessageBase& composition :
       Get(reply, ClientSetup::kClientCompositions)) {
    if (!qzcc::HasFailed(composition)) continue;
    log.debug("Failed to create the client for [%s]",
              Get(qzcc::ClientEntityOf(composition),
                  QzEntities::ClientEntity::kClientName)
                  .c_str());
    AdoptError(creation, Get(composition, ClientsComposition::kClientError),
               log);
  }
}

// The error of the whole request, when there is one; false when none.
bool RecordSetupError(QZClientCreation& creation, ClientSetup& reply,
                      EvDebug& log) {
  if (!IsSet(reply, ClientSetup::kSetupError) ||
      Get(Get(reply, ClientSetup::kSetupError), SIMError::kErrorCode) == 0) {
    return false;
  }
  CNMessageBase error(Get(reply, ClientSetup::kSetupError));
  AdoptError(creation, error, log);
  return true;
}

void LogNoCompositions(EvDebug& log) {
  log.Debug(kTag,
            "ProcessClientSetupRequest Response doesn't have client "
            "composition, clients might not have created ");
}

bool HasCompositions(ClientSetup& reply) {
  return IsSet(reply, ClientSetup::kClientCompositions) &&
         !Get(reply, ClientSetup::kClientCompositions).empty();
}

bool HasClientEntity(CNMessageBase& composition) {
  if (!IsSet(composition, ClientsComposition::kClientInfo)) return false;
  CNMessageBase& info = Get(composition, ClientsComposition::kClientInfo);
  if (!IsSet(info, App::ClientInfo::kClient)) return false;
  return IsSet(Get(info, App::ClientInfo::kClient), App::Client::kClientEntity);
}

// Gives every pre-declared client of the family its operating-system id and
// clears the ports and install directory an agent would have set. Catalogue
// failures are not examined: one client's trouble must not stop the others.
void AdjustCreatedClients(ClientSetup& response, TMMsg::InstallOSType osType) {
  int targetOsId = 0;
  if (osType == TMMsg::INSTALL_OS_WINDOWS) {
    targetOsId = kWindowsOsId;
  } else if (osType == TMMsg::INSTALL_OS_UNIX) {
    targetOsId = kUnixOsId;
  }
  // No family, nothing to adjust: spare a walk over every client.
  if (targetOsId == 0) return;
  for (CNMessageBase& composition :
       Get(response, ClientSetup::kClientCompositions)) {
    const int id = qzcc::ClientIdOf(composition);
    if (id == 0) continue;
    QZClient client(qzcc::WidenedId(id));
    int osId = 0;  // a failed read must never match
    client.getOperatingSystemId(osId, nullptr);
    if (osId != kPreDeclaredOsId) continue;
    client.lookup(nullptr);
    client.setevmgrcPort(0);
    client.setQZDPort(0);
    client.setInstallDirectory(qzcc::kNotApplicable, kPlaceholderDirectoryKind);
    client.setOperatingSystemId(targetOsId);
    client.modify(nullptr);
  }
}

}  // namespace

bool QZClientCreation::Execute() {
  EvDebug log(nullptr);
  if (!preOperation()) {
    log.Debug(kTag, "Pre Operation failed");
    return false;
  }

  ClientSetup* reply = nullptr;
  const int status = ProcessClientSetupRequest(&request, &reply);
  if (reply == nullptr) {
    log.Debug(kTag, "ProcessClientSetupRequestOnRS Response is NULL.");
    return false;
  }

  RecordClientErrors(*this, *reply, log);
  if (RecordSetupError(*this, *reply, log)) return false;
  if (status != 0) {
    log.debug(
        "ProcessClientSetupRequest Failed with Unknown Error.Please check "
        "QZInstallManager.log for more details.");
    return false;
  }
  if (!HasCompositions(*reply)) {
    LogNoCompositions(log);
    return false;
  }

  response = *reply;
  CNMessageBase& first =
      Get(response, ClientSetup::kClientCompositions).front();
  if (!HasClientEntity(first)) {
    LogNoCompositions(log);
    return false;
  }
  clientId = qzcc::WidenedId(qzcc::ClientIdOf(first));

  AdjustCreatedClients(response, osType);

  if (!postOperation()) {
    log.Debug(kTag, "Post Operation failed ");
    return false;
  }
  return true;
}
