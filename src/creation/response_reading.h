// Reading per-client results out of a setup response.
#ifndef QZ_CREATION_RESPONSE_READING_H_
#define QZ_CREATION_RESPONSE_READING_H_

#include "messages/records.h"

namespace qzcc {

// The client entity of a composition, walked field by field; an empty one
// where any step is missing.
inline CNMessageBase& ClientEntityOf(CNMessageBase& composition) {
  using qzmsg::Get;
  return Get(
      Get(Get(composition, QZInstallManager::ClientsComposition::kClientInfo),
          App::ClientInfo::kClient),
      App::Client::kClientEntity);
}

// A client failed when its error record carries a non-zero code.
inline bool HasFailed(CNMessageBase& composition) {
  using QZInstallManager::ClientsComposition;
  return qzmsg::IsSet(composition, ClientsComposition::kClientError) &&
         qzmsg::Get(qzmsg::Get(composition, ClientsComposition::kClientError),
                    QZInstallManager::SIMError::kErrorCode) != 0;
}

// Client ids travel as 64-bit fields but are the server's signed 32-bit
// values: anything above the low 32 bits is dropped.
inline int ClientIdIn(const CNMessageBase& entity) {
  return static_cast<int>(
      qzmsg::Get(entity, QzEntities::ClientEntity::kClientId));
}

// The client id of a composition, cut as above.
inline int ClientIdOf(CNMessageBase& composition) {
  return ClientIdIn(ClientEntityOf(composition));
}

// A 32-bit id widened with its sign, as every 64-bit place stores it.
inline unsigned long long WidenedId(int id) {
  return static_cast<unsigned long long>(static_cast<long long>(id));
}

}  // namespace qzcc

#endif  // QZ_CREATION_RESPONSE_READING_H_
