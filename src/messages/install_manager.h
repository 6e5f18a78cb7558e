// Records of group 8 (QZInstallManager): the setup request and response and
// the records that only the install service knows.
#ifndef QZ_MESSAGES_INSTALL_MANAGER_H_
#define QZ_MESSAGES_INSTALL_MANAGER_H_

#include "host/message_base.h"
#include "messages/field.h"
#include "messages/records_fwd.h"

namespace QZInstallManager {

// The request and, with the same shape, the response.
class ClientSetup : public CNMessageBase {
 public:
  static constexpr int kGroup = 8;
  static constexpr int kType = 8;
  static constexpr unsigned long kClassHash = 0x085FA552;
  ClientSetup() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::Int64Field<ClientSetup> kNumber1{1, 1, 0x685FD1};
  static constexpr qzmsg::Int64Field<ClientSetup> kNumber2{2, 2, 0x8D1669};
  static constexpr qzmsg::RecordField<ClientSetup, QzEntities::UserEntity>
      kUser{3, 3, 0x285FEB};
  static constexpr qzmsg::Int64Field<ClientSetup> kSetupKind{8, 8, 0x298901};
  static constexpr qzmsg::TextField<ClientSetup> kFocusName{9, 9, 0x0E64B8};
  static constexpr qzmsg::RecordField<ClientSetup, RSClientInfo>
      kServerClientInfo{11, 17, 0x91BA91};
  static constexpr qzmsg::ListField<ClientSetup, ClientsComposition>
      kClientCompositions{14, 20, 0xEE00DF};
  static constexpr qzmsg::RecordField<ClientSetup, InstallerFlags>
      kInstallerFlags{16, 22, 0xED21AC};
  static constexpr qzmsg::RecordField<ClientSetup, SIMError> kSetupError{
      18, 24, 0x71F791};
  static constexpr qzmsg::Int64Field<ClientSetup> kNumber30{24, 30, 0x4F44C2};
};

// One client of the request, with its result in the response.
class ClientsComposition : public CNMessageBase {
 public:
  static constexpr int kGroup = 8;
  static constexpr int kType = 53;
  static constexpr unsigned long kClassHash = 0x081E52A2;
  ClientsComposition() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::Int64Field<ClientsComposition> kNumber6{6, 6,
                                                                  0xAB3189};
  static constexpr qzmsg::RecordField<ClientsComposition, App::ClientInfo>
      kClientInfo{11, 11, 0xB0EF19};
  static constexpr qzmsg::RecordField<ClientsComposition, Components>
      kComponents{12, 12, 0x548316};
  static constexpr qzmsg::RecordField<ClientsComposition, SIMError>
      kClientError{16, 16, 0x3694FD};
};

// The central server's own client.
class RSClientInfo : public CNMessageBase {
 public:
  static constexpr int kGroup = 8;
  static constexpr int kType = 64;
  static constexpr unsigned long kClassHash = 0x082707A9;
  RSClientInfo() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::RecordField<RSClientInfo, QzEntities::ClientEntity>
      kServerClient{4, 4, 0x1E36F9};
};

// Packages to install on a client.
class Components : public CNMessageBase {
 public:
  static constexpr int kGroup = 8;
  static constexpr int kType = 71;
  static constexpr unsigned long kClassHash = 0x08265F36;
  Components() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::ListField<Components, PackageInformation> kPackages{
      2, 2, 0xB12F4B};
};

class PackageInformation : public CNMessageBase {
 public:
  static constexpr int kGroup = 8;
  static constexpr int kType = 57;
  static constexpr unsigned long kClassHash = 0x08A95D26;
  PackageInformation() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::Int64Field<PackageInformation> kPackageId{1, 1,
                                                                    0xA582D8};
  static constexpr qzmsg::Int64Field<PackageInformation> kNumber14{8, 14,
                                                                   0x59ECA5};
};

// A caller's add-on selection; read by the builders, never sent itself.
class AddOnComponents : public CNMessageBase {
 public:
  static constexpr int kGroup = 8;
  static constexpr int kType = 74;
  static constexpr unsigned long kClassHash = 0x08C47D76;
  AddOnComponents() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::Int64Field<AddOnComponents> kNumber1{1, 1, 0xCA7F1B};
  static constexpr qzmsg::Int64Field<AddOnComponents> kComponentId{2, 2,
                                                                   0xAD84FB};
};

class InstallerFlags : public CNMessageBase {
 public:
  static constexpr int kGroup = 8;
  static constexpr int kType = 2;
  static constexpr unsigned long kClassHash = 0x081607FF;
  InstallerFlags() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::Int64Field<InstallerFlags> kNumber70{43, 70,
                                                               0x2F1EC9};
};

// An error code (0 meaning success) and its text, in responses only.
class SIMError : public CNMessageBase {
 public:
  static constexpr int kGroup = 8;
  static constexpr int kType = 3;
  static constexpr unsigned long kClassHash = 0x080F7B91;
  SIMError() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::Int64Field<SIMError> kErrorCode{1, 1, 0x0ECFF5};
  static constexpr qzmsg::TextField<SIMError> kErrorString{2, 2, 0x352019};
};

}  // namespace QZInstallManager

#endif  // QZ_MESSAGES_INSTALL_MANAGER_H_
