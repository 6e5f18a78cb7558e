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
// once, so a write through a kept address cannot leak into a copy. A list
// whose address is asked for through a shared handle is copied with private
// copies of its elements, the writes the address is wanted for being near.
//
// getObjectAccessor hands out the address of a word that holds the nested
// record's address. Only a node that hands addresses out carries those
// words, after its slots: it is moved to that larger layout the first time,
// while its one handle is the only thing that knows where it is, and never
// moves again. A copy of such a node is taken in the same layout, and is not
// shared either. The many nodes that are only built, copied and read (most
// of a request) go without the words.
#ifndef QZ_PLATFORM_FACILITY_STORAGE_H_
#define QZ_PLATFORM_FACILITY_STORAGE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "facility/schema.h"
#include "host/message_base.h"

// 16 bytes ahead of the slots: a request of a million machines holds some
// five million nodes, so every word of the header shows in its footprint.
struct CNMessageBase::Node {
  // Reference count; an immortal node's starts at kImmortalRefs and never
  // changes.
  std::atomic<int> refs;
  // Bit i: fields[i] was written. The top bit says an address into the node
  // has been handed out, so it may no longer be shared and carries its
  // nested records' address words.
  std::uint32_t setMask;
  // Null for a class the facility does not know; such a node has no slots
  // and keeps its group and type where slots would be.
  const qzfacility::ClassSchema* schema;

  int Group() const { return schema != nullptr ? schema->group : Unknown()[0]; }
  int Type() const { return schema != nullptr ? schema->type : Unknown()[1]; }
  const int* Unknown() const { return reinterpret_cast<const int*>(this + 1); }

  static constexpr int kImmortalRefs = 1 << 30;
  static constexpr std::uint32_t kUnshareable = std::uint32_t{1} << 31;
  static constexpr std::size_t kMaxFields = 31;

  bool Immortal() const {
    return refs.load(std::memory_order_relaxed) >= kImmortalRefs;
  }
  bool Unshareable() const { return (setMask & kUnshareable) != 0; }
  bool AnyFieldSet() const { return (setMask & ~kUnshareable) != 0; }

  unsigned char* Slot(const qzfacility::FieldSchema& field) {
    return reinterpret_cast<unsigned char*>(this + 1) + field.offset;
  }
  const unsigned char* Slot(const qzfacility::FieldSchema& field) const {
    return reinterpret_cast<const unsigned char*>(this + 1) + field.offset;
  }
  // The address word of a nested record; the node must be unshareable.
  CNMessageBase** AddressWord(const qzfacility::FieldSchema& field) {
    return reinterpret_cast<CNMessageBase**>(
        reinterpret_cast<unsigned char*>(this + 1) + field.addressOffset);
  }
};

namespace qzfacility {

// A text field: up to 15 bytes inside the slot, a longer text in a block of
// node memory the slot owns ({size, bytes}). Most texts of a request (names,
// numbers as text) fit inside, and the rest cost one pooled block instead of
// a std::string and its heap buffer.
class TextSlot {
 public:
  TextSlot() = default;
  // Throws std::bad_alloc, leaving nothing to release.
  explicit TextSlot(std::string_view text) { Init(text); }
  TextSlot(const TextSlot& other) : TextSlot(other.View()) {}
  TextSlot& operator=(const TextSlot&) = delete;
  ~TextSlot() { Free(); }

  std::string_view View() const {
    if (size_ != kOutside) return {bytes_, size_};
    const char* block = Block();
    std::size_t size;
    std::memcpy(&size, block, sizeof size);
    return {block + sizeof size, size};
  }

  // Strong guarantee: on std::bad_alloc the old text stays.
  void Assign(std::string_view text) {
    TextSlot fresh(text);
    Free();
    std::memcpy(bytes_, fresh.bytes_, kInside);
    size_ = fresh.size_;
    fresh.size_ = 0;  // what it owned is this slot's now
  }

 private:
  static constexpr unsigned char kOutside = 0xFF;
  static constexpr std::size_t kInside = 15;

  // Most texts fit inside; only the others leave the header.
  void Init(std::string_view text) {
    if (text.size() > kInside) return InitOutside(text);
    std::memcpy(bytes_, text.data(), text.size());
    size_ = static_cast<unsigned char>(text.size());
  }
  void Free() {
    if (size_ == kOutside) FreeOutside();
  }
  void InitOutside(std::string_view text);
  void FreeOutside();
  const char* Block() const {
    const char* block;
    std::memcpy(&block, bytes_, sizeof block);
    return block;
  }

  char bytes_[kInside] = {};
  unsigned char size_ = 0;  // the length inside, or kOutside
};

// A nested record.
struct RecordSlot {
  CNMessageBase record;
};

// A list field. The vector lives apart from the node, made when the list
// first holds anything or its address is asked for, so that the many nodes
// whose list stays empty carry a single pointer for it.
class ListSlot {
 public:
  ListSlot() = default;
  // Copies the elements (sharing their nodes). Throws std::bad_alloc.
  ListSlot(const ListSlot& other);
  ListSlot& operator=(const ListSlot&) = delete;
  ~ListSlot();

  const std::vector<CNMessageBase>& View() const {
    return list_ != nullptr ? *list_ : None();
  }
  bool Empty() const { return list_ == nullptr || list_->empty(); }
  // Exchanges the elements with `other`.
  void Swap(std::vector<CNMessageBase>& other);
  // Gives every element that shares its node with another record a private
  // copy that may hand addresses out, in one pass; empty elements stay as
  // they are. Throws std::bad_alloc, leaving the elements not yet copied
  // shared.
  void OwnElements();
  // What getlistobject hands out; stays valid as long as the slot.
  std::vector<CNMessageBase>** Address();

 private:
  static const std::vector<CNMessageBase>& None();
  static std::vector<CNMessageBase>* Make();
  static void Unmake(std::vector<CNMessageBase>* list);

  std::vector<CNMessageBase>* list_ = nullptr;
};

// A pass over a long list (copying it, releasing it) meets each element's
// nodes cold, and each reference count it changes is a locked update that
// waits for its line before the pass goes on. These ask for the nodes the
// pass will touch some elements ahead, one level of the tree nearer each
// element, so that the misses overlap. Call before working on list[at].
void FetchAheadOfCopy(const std::vector<CNMessageBase>& list, std::size_t at);
void FetchAheadOfRelease(const std::vector<CNMessageBase>& list,
                         std::size_t at);

// A copy of `from`, sharing its elements' nodes, fetched ahead as above.
// `check(i)` runs before element i is copied, in the same pass; what it
// throws, or std::bad_alloc, leaves nothing behind.
template <class Check>
std::vector<CNMessageBase> CopyElements(const std::vector<CNMessageBase>& from,
                                        Check check) {
  std::vector<CNMessageBase> copy;
  copy.reserve(from.size());
  for (std::size_t i = 0; i < from.size(); ++i) {
    FetchAheadOfCopy(from, i);
    check(i);
    copy.push_back(from[i]);
  }
  return copy;
}

constexpr std::size_t SlotSize(FieldKind kind) {
  return kind == FieldKind::kInt64    ? sizeof(long long)
         : kind == FieldKind::kText   ? sizeof(TextSlot)
         : kind == FieldKind::kRecord ? sizeof(RecordSlot)
                                      : sizeof(ListSlot);
}

static_assert(sizeof(CNMessageBase::Node) == 16, "the header stays small");
static_assert(sizeof(TextSlot) == 16 && sizeof(RecordSlot) % 8 == 0 &&
                  sizeof(ListSlot) % 8 == 0,
              "slots keep 8-byte alignment");

}  // namespace qzfacility

#endif  // QZ_PLATFORM_FACILITY_STORAGE_H_
