#include "facility/schema.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>

#include "facility/storage.h"

namespace qzfacility {

// Filled as the table is built, before any node can name a class or any
// accessor looks a field up.
const ClassSchema* classAt[kUnknownClass + 1] = {};
identity::Entry identity::table[std::size_t{1} << identity::kBits] = {};

namespace {

constexpr FieldKind I = FieldKind::kInt64;
constexpr FieldKind T = FieldKind::kText;
constexpr FieldKind R = FieldKind::kRecord;
constexpr FieldKind L = FieldKind::kList;

// One row per class: namespace, name, group, type, class hash, then its
// fields as name, index, tag, field hash, kind and (for records and lists)
// the child's group and type.
std::vector<ClassSchema> BuildTable() {
  return {
      {"QZInstallManager",
       "ClientSetup",
       8,
       8,
       0x085FA552,
       {{"number1", 1, 1, 0x685FD1, I, 0, 0},
        {"number2", 2, 2, 0x8D1669, I, 0, 0},
        {"user", 3, 3, 0x285FEB, R, 18, 15},
        {"setupKind", 8, 8, 0x298901, I, 0, 0},
        {"focusName", 9, 9, 0x0E64B8, T, 0, 0},
        {"serverClientInfo", 11, 17, 0x91BA91, R, 8, 64},
        {"clientCompositions", 14, 20, 0xEE00DF, L, 8, 53},
        {"installerFlags", 16, 22, 0xED21AC, R, 8, 2},
        {"setupError", 18, 24, 0x71F791, R, 8, 3},
        {"number30", 24, 30, 0x4F44C2, I, 0, 0}}},
      {"QZInstallManager",
       "ClientsComposition",
       8,
       53,
       0x081E52A2,
       {{"number6", 6, 6, 0xAB3189, I, 0, 0},
        {"clientInfo", 11, 11, 0xB0EF19, R, 30, 163},
        {"components", 12, 12, 0x548316, R, 8, 71},
        {"clientError", 16, 16, 0x3694FD, R, 8, 3}}},
      {"QZInstallManager",
       "RSClientInfo",
       8,
       64,
       0x082707A9,
       {{"serverClient", 4, 4, 0x1E36F9, R, 18, 4}}},
      {"QZInstallManager",
       "Components",
       8,
       71,
       0x08265F36,
       {{"packages", 2, 2, 0xB12F4B, L, 8, 57}}},
      {"QZInstallManager",
       "PackageInformation",
       8,
       57,
       0x08A95D26,
       {{"packageId", 1, 1, 0xA582D8, I, 0, 0},
        {"number14", 8, 14, 0x59ECA5, I, 0, 0}}},
      {"QZInstallManager",
       "AddOnComponents",
       8,
       74,
       0x08C47D76,
       {{"number1", 1, 1, 0xCA7F1B, I, 0, 0},
        {"componentId", 2, 2, 0xAD84FB, I, 0, 0}}},
      {"QZInstallManager",
       "InstallerFlags",
       8,
       2,
       0x081607FF,
       {{"number70", 43, 70, 0x2F1EC9, I, 0, 0}}},
      {"QZInstallManager",
       "SIMError",
       8,
       3,
       0x080F7B91,
       {{"errorCode", 1, 1, 0x0ECFF5, I, 0, 0},
        {"errorString", 2, 2, 0x352019, T, 0, 0}}},
      {"QzEntities",
       "ClientEntity",
       18,
       4,
       0x122FD3AE,
       {{"clientId", 0, 0, 0x253646, I, 0, 0},
        {"clientName", 1, 1, 0xB304F6, T, 0, 0},
        {"hostName", 2, 5, 0x12D053, T, 0, 0},
        {"displayName", 5, 14, 0x2BD66D, T, 0, 0}}},
      {"QzEntities",
       "UserEntity",
       18,
       15,
       0x128053AE,
       {{"userId", 0, 0, 0x2B2E46, I, 0, 0},
        {"userName", 2, 5, 0x1AFCF6, T, 0, 0}}},
      {"QzEntities",
       "ClientGroupEntity",
       18,
       28,
       0x12BDE257,
       {{"clientGroupName", 2, 2, 0xD5CE1F, T, 0, 0}}},
      {"QzEntities",
       "BeaconReleaseEnity",
       18,
       39,
       0x12994EEE,
       {{"releaseName", 1, 1, 0xA842D8, T, 0, 0}}},
      {"App",
       "OSDisplayInfo",
       30,
       17,
       0x1E9B080C,
       {{"displayName", 1, 1, 0x85668F, T, 0, 0},
        {"text5", 2, 5, 0x875AEA, T, 0, 0},
        {"text9", 3, 9, 0x09E6CC, T, 0, 0}}},
      {"App",
       "OperatingSystem",
       30,
       18,
       0x1E7036B0,
       {{"osId", 1, 1, 0x342E1F, I, 0, 0},
        {"osFamily", 2, 2, 0x28035A, T, 0, 0},
        {"osFlavor", 3, 6, 0xD9397A, T, 0, 0},
        {"processor", 4, 10, 0x114E6D, T, 0, 0},
        {"osVersion", 5, 14, 0x2DB4B8, T, 0, 0},
        {"displayInfo", 6, 18, 0xCFB3EC, R, 30, 17}}},
      {"App",
       "FilePath",
       30,
       19,
       0x1E0113E1,
       {{"path", 1, 1, 0x346425, T, 0, 0}}},
      {"App",
       "VersionInfo",
       30,
       20,
       0x1E777186,
       {{"release", 1, 1, 0xB1BAB7, R, 18, 39},
        {"version", 2, 2, 0xA23E07, T, 0, 0}}},
      {"App",
       "Client",
       30,
       115,
       0x1E77DFEB,
       {{"clientEntity", 1, 1, 0x647F8E, R, 18, 4},
        {"operatingSystem", 2, 2, 0xE154B2, R, 30, 18},
        {"filePath", 5, 11, 0xD26794, R, 30, 19},
        {"number16", 10, 16, 0x0BFE72, I, 0, 0},
        {"number17", 11, 17, 0x28581D, I, 0, 0},
        {"text19", 13, 19, 0xF53712, T, 0, 0},
        {"versionInfo", 14, 23, 0x0DC9A6, R, 30, 20}}},
      {"App",
       "ClientInfo",
       30,
       163,
       0x1E82CB39,
       {{"client", 1, 1, 0x12F3CB, R, 30, 115},
        {"clientProps", 3, 3, 0xD18C65, R, 30, 136},
        {"clientGroups", 4, 4, 0x04757F, L, 18, 28}}},
      {"App",
       "ClientProps",
       30,
       136,
       0x1E3B3445,
       {{"number2", 2, 2, 0x91395C, I, 0, 0},
        {"number23", 8, 23, 0xA0B8C5, I, 0, 0},
        {"attributes", 113, 167, 0x2DA957, L, 30, 164},
        {"number168", 114, 168, 0x24255E, I, 0, 0},
        {"vmGuid", 116, 170, 0x8C71C0, T, 0, 0},
        {"text174", 117, 174, 0xB96E5F, T, 0, 0},
        {"vmName", 118, 178, 0x8F55C2, T, 0, 0},
        {"vmHostName", 119, 182, 0x1EC3EA, T, 0, 0},
        {"number271", 187, 271, 0xD7FEA7, I, 0, 0},
        {"text295", 208, 295, 0x2F8B79, T, 0, 0},
        {"number299", 209, 299, 0x811C12, I, 0, 0}}},
      {"App", "AttributeInfo", 30, 164, 0x1E4C0D21, {}},
  };
}

// Fills the lookup tables and lays out each class's slots.
void Index(ClassSchema& schema) {
  // A node marks its fields in the low bits of its set mask.
  if (schema.fields.size() > CNMessageBase::Node::kMaxFields) std::abort();
  int maxIndex = -1;
  int maxTag = -1;
  for (const FieldSchema& field : schema.fields) {
    maxIndex = std::max<int>(maxIndex, field.index);
    maxTag = std::max<int>(maxTag, field.tag);
  }
  schema.byIndex.assign(static_cast<std::size_t>(maxIndex + 1), nullptr);
  schema.byTag.assign(static_cast<std::size_t>(maxTag + 1), nullptr);
  std::size_t offset = 0;
  std::uint32_t textBits = 0;
  for (std::size_t i = 0; i < schema.fields.size(); ++i) {
    FieldSchema& field = schema.fields[i];
    schema.byIndex[static_cast<std::size_t>(field.index)] = &field;
    schema.byTag[static_cast<std::size_t>(field.tag)] = &field;
    field.offset = offset;
    field.bit = std::uint32_t{1} << i;
    if (field.kind != FieldKind::kInt64) {
      schema.owningSlots.push_back({offset, field.kind});
    }
    field.textBitsBefore = textBits;
    if (field.kind == FieldKind::kText) textBits |= field.bit;
    if (field.kind == FieldKind::kRecord) {
      schema.recordOffsets.push_back(offset);
      schema.recordBits |= field.bit;
    }
    offset += SlotSize(field.kind);
  }
  schema.slotBytes = offset;
  for (FieldSchema& field : schema.fields) {
    if (field.kind != FieldKind::kRecord) continue;
    field.addressOffset = offset;
    offset += sizeof(CNMessageBase*);
  }
  schema.addressBytes = offset - schema.slotBytes;
}

// Files `field` in the identity table; two classes of one hash, or a table
// too small, would make a lookup ambiguous or endless.
void Enter(unsigned long classHash, int number, bool byTag,
           const FieldSchema& field) {
  using identity::table;
  if ((classHash >> 32) != 0) std::abort();
  const std::uint64_t key = identity::Key(classHash, number, byTag);
  constexpr std::size_t kSize = std::size_t{1} << identity::kBits;
  std::size_t at = identity::Home(key);
  for (std::size_t tried = 0; table[at].key != 0; ++tried) {
    if (table[at].key == key || tried + 1 >= kSize / 2) std::abort();
    at = (at + 1) % kSize;
  }
  table[at] = {key, &field};
}

struct Registry {
  std::vector<ClassSchema> classes;
  std::array<const ClassSchema*, kGroups * kTypes> byIdentity{};

  Registry() : classes(BuildTable()) {
    if (classes.size() >= kUnknownClass) std::abort();
    for (ClassSchema& schema : classes) {
      Index(schema);
      schema.position = static_cast<std::size_t>(&schema - classes.data());
      classAt[schema.position] = &schema;
      for (FieldSchema& field : schema.fields) {
        field.classPosition = static_cast<std::uint16_t>(schema.position);
        Enter(schema.classHash, field.index, false, field);
        Enter(schema.classHash, field.tag, true, field);
      }
      byIdentity[static_cast<std::size_t>(schema.group * kTypes +
                                          schema.type)] = &schema;
    }
  }
};

const Registry& TheRegistry() {
  static const Registry* const registry = new Registry();  // never destroyed:
  // records in other libraries' static storage may outlive this one
  return *registry;
}

}  // namespace

const char* KindName(FieldKind kind) {
  switch (kind) {
    case FieldKind::kInt64:
      return "int64";
    case FieldKind::kText:
      return "text";
    case FieldKind::kRecord:
      return "record";
    case FieldKind::kList:
      return "list";
  }
  return "unknown";
}

std::string ClassSchema::QualifiedName() const {
  return std::string(space) + "::" + name;
}

const ClassSchema* FindClass(int group, int type) {
  if (group < 0 || group >= kGroups || type < 0 || type >= kTypes) {
    return nullptr;
  }
  return TheRegistry()
      .byIdentity[static_cast<std::size_t>(group * kTypes + type)];
}

const std::vector<ClassSchema>& AllClasses() { return TheRegistry().classes; }

}  // namespace qzfacility
