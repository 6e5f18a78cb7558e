// Records of group 30 (App): the client, its operating system, version and
// properties.
#ifndef QZ_MESSAGES_APP_H_
#define QZ_MESSAGES_APP_H_

#include "host/message_base.h"
#include "messages/field.h"
#include "messages/records_fwd.h"

namespace App {

class OSDisplayInfo : public CNMessageBase {
 public:
  static constexpr int kGroup = 30;
  static constexpr int kType = 17;
  static constexpr unsigned long kClassHash = 0x1E9B080C;
  OSDisplayInfo() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::TextField<OSDisplayInfo> kDisplayName{1, 1, 0x85668F};
  static constexpr qzmsg::TextField<OSDisplayInfo> kText5{2, 5, 0x875AEA};
  static constexpr qzmsg::TextField<OSDisplayInfo> kText9{3, 9, 0x09E6CC};
};

class OperatingSystem : public CNMessageBase {
 public:
  static constexpr int kGroup = 30;
  static constexpr int kType = 18;
  static constexpr unsigned long kClassHash = 0x1E7036B0;
  OperatingSystem() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::Int64Field<OperatingSystem> kOsId{1, 1, 0x342E1F};
  static constexpr qzmsg::TextField<OperatingSystem> kOsFamily{2, 2, 0x28035A};
  static constexpr qzmsg::TextField<OperatingSystem> kOsFlavor{3, 6, 0xD9397A};
  static constexpr qzmsg::TextField<OperatingSystem> kProcessor{4, 10,
                                                                0x114E6D};
  static constexpr qzmsg::TextField<OperatingSystem> kOsVersion{5, 14,
                                                                0x2DB4B8};
  static constexpr qzmsg::RecordField<OperatingSystem, OSDisplayInfo>
      kDisplayInfo{6, 18, 0xCFB3EC};
};

class FilePath : public CNMessageBase {
 public:
  static constexpr int kGroup = 30;
  static constexpr int kType = 19;
  static constexpr unsigned long kClassHash = 0x1E0113E1;
  FilePath() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::TextField<FilePath> kPath{1, 1, 0x346425};
};

class VersionInfo : public CNMessageBase {
 public:
  static constexpr int kGroup = 30;
  static constexpr int kType = 20;
  static constexpr unsigned long kClassHash = 0x1E777186;
  VersionInfo() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::RecordField<VersionInfo,
                                      QzEntities::BeaconReleaseEnity>
      kRelease{1, 1, 0xB1BAB7};
  static constexpr qzmsg::TextField<VersionInfo> kVersion{2, 2, 0xA23E07};
};

class Client : public CNMessageBase {
 public:
  static constexpr int kGroup = 30;
  static constexpr int kType = 115;
  static constexpr unsigned long kClassHash = 0x1E77DFEB;
  Client() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::RecordField<Client, QzEntities::ClientEntity>
      kClientEntity{1, 1, 0x647F8E};
  static constexpr qzmsg::RecordField<Client, OperatingSystem> kOperatingSystem{
      2, 2, 0xE154B2};
  static constexpr qzmsg::RecordField<Client, FilePath> kFilePath{5, 11,
                                                                  0xD26794};
  static constexpr qzmsg::Int64Field<Client> kNumber16{10, 16, 0x0BFE72};
  static constexpr qzmsg::Int64Field<Client> kNumber17{11, 17, 0x28581D};
  static constexpr qzmsg::TextField<Client> kText19{13, 19, 0xF53712};
  static constexpr qzmsg::RecordField<Client, VersionInfo> kVersionInfo{
      14, 23, 0x0DC9A6};
};

class ClientInfo : public CNMessageBase {
 public:
  static constexpr int kGroup = 30;
  static constexpr int kType = 163;
  static constexpr unsigned long kClassHash = 0x1E82CB39;
  ClientInfo() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::RecordField<ClientInfo, Client> kClient{1, 1,
                                                                  0x12F3CB};
  static constexpr qzmsg::RecordField<ClientInfo, ClientProps> kClientProps{
      3, 3, 0xD18C65};
  static constexpr qzmsg::ListField<ClientInfo, QzEntities::ClientGroupEntity>
      kClientGroups{4, 4, 0x04757F};
};

class ClientProps : public CNMessageBase {
 public:
  static constexpr int kGroup = 30;
  static constexpr int kType = 136;
  static constexpr unsigned long kClassHash = 0x1E3B3445;
  ClientProps() : CNMessageBase(kGroup, kType) {}

  static constexpr qzmsg::Int64Field<ClientProps> kNumber2{2, 2, 0x91395C};
  static constexpr qzmsg::Int64Field<ClientProps> kNumber23{8, 23, 0xA0B8C5};
  static constexpr qzmsg::ListField<ClientProps, AttributeInfo> kAttributes{
      113, 167, 0x2DA957};
  static constexpr qzmsg::Int64Field<ClientProps> kNumber168{114, 168,
                                                             0x24255E};
  static constexpr qzmsg::TextField<ClientProps> kVmGuid{116, 170, 0x8C71C0};
  static constexpr qzmsg::TextField<ClientProps> kText174{117, 174, 0xB96E5F};
  static constexpr qzmsg::TextField<ClientProps> kVmName{118, 178, 0x8F55C2};
  static constexpr qzmsg::TextField<ClientProps> kVmHostName{119, 182,
                                                             0x1EC3EA};
  static constexpr qzmsg::Int64Field<ClientProps> kNumber271{187, 271,
                                                             0xD7FEA7};
  static constexpr qzmsg::TextField<ClientProps> kText295{208, 295, 0x2F8B79};
  static constexpr qzmsg::Int64Field<ClientProps> kNumber299{209, 299,
                                                             0x811C12};
};

// Only ever sent as the element type of an empty list.
class AttributeInfo : public CNMessageBase {
 public:
  static constexpr int kGroup = 30;
  static constexpr int kType = 164;
  static constexpr unsigned long kClassHash = 0x1E4C0D21;
  AttributeInfo() : CNMessageBase(kGroup, kType) {}
};

}  // namespace App

#endif  // QZ_MESSAGES_APP_H_
