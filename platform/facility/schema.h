// The facility's own table of record classes and their fields.
//
// The facility knows every record the installation exchanges and checks each
// access against this table. It is deliberately written apart from the
// record classes that callers compile against, so that a wrong number on
// either side shows up as a loud mismatch instead of agreeing with itself.
#ifndef QZ_PLATFORM_FACILITY_SCHEMA_H_
#define QZ_PLATFORM_FACILITY_SCHEMA_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qzfacility {

enum class FieldKind : std::uint8_t { kInt64, kText, kRecord, kList };

const char* KindName(FieldKind kind);

struct ClassSchema;

// Every access reads its field's entry: one cache line each, wherever the
// table's memory happens to start.
struct alignas(64) FieldSchema {
  const char* name;
  short index;
  short tag;
  unsigned int hash;
  FieldKind kind;
  int childGroup;  // class of the nested record or of the list's elements
  int childType;
  std::size_t offset = 0;  // of the field's slot in the full layout
  std::uint32_t bit = 0;   // the field's bit in a node's set mask
  // Of a nested record's address word in a node that hands addresses out.
  std::size_t addressOffset = 0;
  std::uint32_t textBitsBefore = 0;  // the class's texts ahead of this field
  std::uint16_t classPosition = 0;   // of the class in AllClasses()
};

struct ClassSchema {
  const char* space;  // namespace of the record class
  const char* name;
  int group;
  int type;
  unsigned long classHash;
  std::vector<FieldSchema> fields;  // ascending index
  // index or tag -> the field, or null; they point into `fields`, so a class
  // is indexed where it stays. A pointer spares every access a step.
  std::vector<const FieldSchema*> byIndex = {};
  std::vector<const FieldSchema*> byTag = {};
  std::size_t slotBytes = 0;  // of the full layout
  // The nested records' address words, after the slots of a node that hands
  // addresses out.
  std::size_t addressBytes = 0;
  // The slots that own something (texts, nested records, lists), in field
  // order; the others copy as bytes.
  struct OwningSlot {
    std::size_t offset;
    FieldKind kind;
  };
  std::vector<OwningSlot> owningSlots = {};
  std::vector<std::size_t> recordOffsets = {};  // of the nested records' slots
  // The nested records' field bits: a compact node holds the slots of its
  // set fields only (see storage.h).
  std::uint32_t recordBits = 0;
  std::size_t position = 0;  // in AllClasses()

  const FieldSchema* FieldByIndex(int index) const {
    return Lookup(byIndex, index);
  }
  const FieldSchema* FieldByTag(int tag) const { return Lookup(byTag, tag); }
  std::string QualifiedName() const;

 private:
  static const FieldSchema* Lookup(const std::vector<const FieldSchema*>& table,
                                   int key) {
    if (key < 0 || static_cast<std::size_t>(key) >= table.size()) {
      return nullptr;
    }
    return table[static_cast<std::size_t>(key)];
  }
};

// Groups and types of the installation's classes are small: every class
// has group < kGroups and type < kTypes.
constexpr int kGroups = 32;
constexpr int kTypes = 256;

// The class of (group, type), or null for a class the facility does not know.
const ClassSchema* FindClass(int group, int type);

// Every known class by its position in AllClasses(); a node names its class
// by that place, which takes fewer bits than an address. The places from
// the number of classes up to kUnknownClass hold null.
constexpr std::size_t kUnknownClass = 511;
[[gnu::visibility(
    "hidden")]] extern const ClassSchema* classAt[kUnknownClass + 1];

// The fields of every known class by the identity an accessor is called
// with: its class hash and its index, or its tag. An accessor looks its
// field up here while its record's node is still on the way, instead of
// after it, and then checks that the node is of the field's class.
namespace identity {

constexpr int kBits = 10;  // a few hundred fields, twice (index and tag)
struct Entry {
  std::uint64_t key;  // 0: free
  const FieldSchema* field;
};
[[gnu::visibility("hidden")]] extern Entry table[std::size_t{1} << kBits];

// Class hashes are 32 bits; a wider one names no class.
inline std::uint64_t Key(unsigned long classHash, int number, bool byTag) {
  return (std::uint64_t{classHash} << 18) | (std::uint64_t{byTag} << 17) |
         (std::uint64_t{1} << 16) | static_cast<std::uint16_t>(number);
}

inline std::size_t Home(std::uint64_t key) {
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15u) >> (64 - kBits));
}

inline const FieldSchema* Find(unsigned long classHash, int number,
                               bool byTag) {
  if ((classHash >> 32) != 0) return nullptr;
  const std::uint64_t key = Key(classHash, number, byTag);
  constexpr std::size_t kMask = (std::size_t{1} << kBits) - 1;
  for (std::size_t at = Home(key);; at = (at + 1) & kMask) {
    if (table[at].key == key) return table[at].field;
    if (table[at].key == 0) return nullptr;
  }
}

}  // namespace identity

// The field of index `index` (or tag `tag`) of the class of hash
// `classHash`, or null when no known class has one.
inline const FieldSchema* FieldByIdentity(unsigned long classHash, int index) {
  return identity::Find(classHash, index, false);
}
inline const FieldSchema* FieldByTagIdentity(unsigned long classHash, int tag) {
  return identity::Find(classHash, tag, true);
}

// Every known class, in table order.
const std::vector<ClassSchema>& AllClasses();

}  // namespace qzfacility

#endif  // QZ_PLATFORM_FACILITY_SCHEMA_H_
