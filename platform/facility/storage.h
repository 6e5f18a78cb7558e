// Storage of records: copy-on-write nodes shared between equal records.
//
// A record is a handle to a node. Copies share the node and bump its
// reference count; the first change through a shared handle gives that
// handle a private copy of the node (its nested records and lists are shared
// in turn), so every copy behaves as a deep, independent value. Every known
// class has one immortal empty node, which all fresh records and all unset
// nested fields point to, so reading an unset field allocates nothing.
//
// Once a mutable address into a node has been handed out (getObjectAccessor,
// getlistobject), the node is never shared again: copies of it are taken at
// once, so a write through a kept address cannot leak into a copy.
#ifndef QZ_PLATFORM_FACILITY_STORAGE_H_
#define QZ_PLATFORM_FACILITY_STORAGE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "facility/schema.h"
#include "host/message_base.h"

struct CNMessageBase::Node {
  std::atomic<int> refs;
  bool immortal;
  bool unshareable;
  int group;
  int type;
  const qzfacility::ClassSchema* schema;  // null for an unknown class
  std::uint64_t setMask;                  // bit i: fields[i] was written

  unsigned char* Slot(const qzfacility::FieldSchema& field) {
    return reinterpret_cast<unsigned char*>(this + 1) + field.offset;
  }
  const unsigned char* Slot(const qzfacility::FieldSchema& field) const {
    return reinterpret_cast<const unsigned char*>(this + 1) + field.offset;
  }
};

namespace qzfacility {

// A nested record, with the address that getObjectAccessor hands out.
struct RecordSlot {
  CNMessageBase record;
  CNMessageBase* self;
};

struct ListSlot {
  std::vector<CNMessageBase> list;
  std::vector<CNMessageBase>* self;
};

constexpr std::size_t SlotSize(FieldKind kind) {
  return kind == FieldKind::kInt64    ? sizeof(long long)
         : kind == FieldKind::kText   ? sizeof(std::string)
         : kind == FieldKind::kRecord ? sizeof(RecordSlot)
                                      : sizeof(ListSlot);
}

static_assert(sizeof(CNMessageBase::Node) % alignof(std::max_align_t) == 0 ||
                  sizeof(CNMessageBase::Node) % 8 == 0,
              "slots follow the node header at an 8-byte boundary");
static_assert(sizeof(std::string) % 8 == 0 && sizeof(RecordSlot) % 8 == 0 &&
                  sizeof(ListSlot) % 8 == 0,
              "slots keep 8-byte alignment");

}  // namespace qzfacility

#endif  // QZ_PLATFORM_FACILITY_STORAGE_H_
