// Records of group 18 (QzEntities): identities shared across services.
#ifndef QZ_MESSAGES_ENTITIES_H_
#define QZ_MESSAGES_ENTITIES_H_

#include "host/message_base.h"
#include "messages/field.h"
#include "messages/records_fwd.h"

namespace QzEntities {

class ClientEntity : public CNMessageBase {
 public:
  static constexpr int kGroup = 18;
  static constexpr int kType = 4;
  static constexpr unsigned long kClassHash = 0x122FD3AE;
  ClientEntity() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::Int64Field<ClientEntity> kClientId{0, 0, 0x253646};
  static constexpr qzmsg::TextField<ClientEntity> kClientName{1, 1, 0xB304F6};
  static constexpr qzmsg::TextField<ClientEntity> kHostName{2, 5, 0x12D053};
  static constexpr qzmsg::TextField<ClientEntity> kDisplayName{5, 14, 0x2BD66D};
};

class UserEntity : public CNMessageBase {
 public:
  static constexpr int kGroup = 18;
  static constexpr int kType = 15;
  static constexpr unsigned long kClassHash = 0x128053AE;
  UserEntity() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::Int64Field<UserEntity> kUserId{0, 0, 0x2B2E46};
  static constexpr qzmsg::TextField<UserEntity> kUserName{2, 5, 0x1AFCF6};
};

class ClientGroupEntity : public CNMessageBase {
 public:
  static constexpr int kGroup = 18;
  static constexpr int kType = 28;
  static constexpr unsigned long kClassHash = 0x12BDE257;
  ClientGroupEntity() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::TextField<ClientGroupEntity> kClientGroupName{
      2, 2, 0xD5CE1F};
};

// The installation's own spelling of the class name.
class BeaconReleaseEnity : public CNMessageBase {
 public:
  static constexpr int kGroup = 18;
  static constexpr int kType = 39;
  static constexpr unsigned long kClassHash = 0x12994EEE;
  BeaconReleaseEnity() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::TextField<BeaconReleaseEnity> kReleaseName{1, 1,
                                                                     0xA842D8};
};

}  // namespace QzEntities

#endif  // QZ_MESSAGES_ENTITIES_H_
