// Storage of records: copy-on-write nodes shared between equal records.
//
// A record is a handle to a node. Copies share the node and bump its
// reference count; the first change through a shared handle gives that
// handle a private copy of the node (its nested records and lists are shared
// in turn), so every copy behaves as a deep, independent value. Every known
// class has one immortal empty node, which all fresh records and all unset
// nested fields point to, so reading an unset field allocates nothing.
//
// A node is compact: it holds slots for its set fields only, packed in field
// order, and an unset field reads as its default. A record of a million
// machines sets three of a class's eleven fields, so the slots of the rest
// would be most of its memory. Setting a field the node lacks grows it by
// the field's slot: in place when it is the last node cut from the thread's
// pool block, as it is while a record is being built, else by a copy.
//
// Once a mutable address into a node has been handed out (getObjectAccessor,
// getlistobject), the node is never shared again: copies of it are taken at
// once, so a write through a kept address cannot leak into a copy. Such a
// node is laid out in full, with a slot for every field of its class at a
// fixed place, so that nothing it handed out ever moves, and with words
// after the slots that hold its nested records' addresses (getObjectAccessor
// hands out the address of such a word). It takes this layout the first
// time, while its one handle is the only thing that knows where it is. A
// copy of it is laid out the same way and is not shared either. A list
// whose address is asked for through a shared handle is copied with private
// copies of its elements, the writes the address is wanted for being near.
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

#include "facility/node_pool.h"
#include "facility/schema.h"
#include "host/message_base.h"

// 8 bytes ahead of the slots: a request of a million machines holds some
// five million nodes, so every word of the header shows in its footprint.
struct CNMessageBase::Node {
  // Reference count; an immortal node's starts at kImmortalRefs and never
  // changes.
  std::atomic<int> refs;
  // Bit i (below kSpanShift): fields[i] was written, and a compact node has
  // its slot. Above them, the words a compact node's slots take, then the
  // place of the node's class in the facility's table (kUnknownClass for a
  // class it does not know: such a node has no slots and keeps its group
  // and type where slots would be). The top bit says an address into the
  // node has been handed out: it may no longer be shared, and it is laid
  // out in full.
  std::uint32_t setMask;

  // The place of the node's class in the facility's table.
  std::size_t ClassPlace() const {
    return (setMask >> kClassShift) & kClassMask;
  }
  // Null for a class the facility does not know.
  const qzfacility::ClassSchema* Schema() const {
    return qzfacility::classAt[ClassPlace()];
  }
  int Group() const {
    const qzfacility::ClassSchema* schema = Schema();
    return schema != nullptr ? schema->group : Unknown()[0];
  }
  int Type() const {
    const qzfacility::ClassSchema* schema = Schema();
    return schema != nullptr ? schema->type : Unknown()[1];
  }
  const int* Unknown() const { return reinterpret_cast<const int*>(this + 1); }

  static constexpr int kImmortalRefs = 1 << 30;
  static constexpr std::uint32_t kUnshareable = std::uint32_t{1} << 31;
  static constexpr int kSpanShift = 16;
  static constexpr std::uint32_t kFieldBits =
      (std::uint32_t{1} << kSpanShift) - 1;
  static constexpr std::size_t kMaxFields = kSpanShift;
  // A compact node's slots take two words a field at most.
  static constexpr int kClassShift = 22;
  static_assert(2 * kMaxFields < (std::size_t{1} << (kClassShift - kSpanShift)),
                "the words of every slot fit below the class");
  static constexpr std::uint32_t kClassMask = qzfacility::kUnknownClass;
  static_assert((kClassMask << kClassShift) < kUnshareable &&
                    ((kClassMask + 1) & kClassMask) == 0,
                "the class's place fits below the top bit");

  // The marks of a fresh node of the class `schema`, or of an unknown one.
  static std::uint32_t ClassMarks(const qzfacility::ClassSchema* schema) {
    const std::size_t place =
        schema != nullptr ? schema->position : qzfacility::kUnknownClass;
    return static_cast<std::uint32_t>(place) << kClassShift;
  }

  bool Immortal() const {
    return refs.load(std::memory_order_relaxed) >= kImmortalRefs;
  }
  bool Unshareable() const { return (setMask & kUnshareable) != 0; }
  // Laid out in full. An immortal empty node is too, but sets nothing, so
  // it reads as a compact node without slots.
  bool Full() const { return Unshareable(); }
  std::uint32_t Fields() const { return setMask & kFieldBits; }
  // The bytes a compact node's slots take.
  std::size_t CompactBytes() const {
    constexpr std::uint32_t kSpanMask = (1u << (kClassShift - kSpanShift)) - 1;
    return 8 * ((setMask >> kSpanShift) & kSpanMask);
  }
  // The marks of a compact node that gains the slot of `field`, of `bytes`.
  static std::uint32_t Grown(std::uint32_t setMask,
                             const qzfacility::FieldSchema& field,
                             std::size_t bytes) {
    return setMask + field.bit +
           (static_cast<std::uint32_t>(bytes / 8) << kSpanShift);
  }
  bool AnyFieldSet() const { return Fields() != 0; }

  unsigned char* Slots() { return reinterpret_cast<unsigned char*>(this + 1); }
  const unsigned char* Slots() const {
    return reinterpret_cast<const unsigned char*>(this + 1);
  }
  // The slot of a field that has one: any field of a full node, a set field
  // of a compact one.
  unsigned char* Slot(const qzfacility::FieldSchema& field) {
    return Slots() + SlotOffset(field);
  }
  const unsigned char* Slot(const qzfacility::FieldSchema& field) const {
    return Slots() + SlotOffset(field);
  }
  // The slot of the field, or null where a compact node has none.
  const unsigned char* Find(const qzfacility::FieldSchema& field) const {
    if (!Full() && (setMask & field.bit) == 0) return nullptr;
    return Slots() + SlotOffset(field);
  }
  std::size_t SlotOffset(const qzfacility::FieldSchema& field) const {
    if (Full()) return field.offset;
    // A compact node's slots of the set fields before this one: a word
    // each, and a second one for a text. Also where the field's slot goes
    // when the node lacks it.
    const std::uint64_t set = setMask & (field.bit - 1);
    return 8 * Count(set | (set & field.textBitsBefore) << 32);
  }
  // The address word of a nested record; the node must be laid out in full.
  CNMessageBase** AddressWord(const qzfacility::FieldSchema& field) {
    return reinterpret_cast<CNMessageBase**>(Slots() + field.addressOffset);
  }

  static std::size_t Count(std::uint64_t bits) {
#if defined(__POPCNT__)
    return static_cast<std::size_t>(__builtin_popcountll(bits));
#else
#if defined(__x86_64__) && defined(__GNUC__)
    // A build for the baseline processor lacks the instruction, which every
    // processor of the last fifteen years has: ask the processor (the answer
    // is read once, at load; before that it says no, and the count below
    // is as right).
    if (__builtin_cpu_supports("popcnt")) {
      std::uint64_t count;
      asm("popcnt %1, %0" : "=r"(count) : "rm"(bits) : "cc");
      return static_cast<std::size_t>(count);
    }
#endif
    return CountInSoftware(bits);
#endif
  }
  // Count without the instruction, for which the builtin is a library call.
  static std::size_t CountInSoftware(std::uint64_t bits) {
    bits = bits - ((bits >> 1) & 0x5555555555555555u);
    bits = (bits & 0x3333333333333333u) + ((bits >> 2) & 0x3333333333333333u);
    bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<std::size_t>((bits * 0x0101010101010101u) >> 56);
  }
};

namespace qzfacility {

// A text field: up to 15 bytes inside the slot, a longer text in a block of
// node memory the slot owns, just the text, its length kept in the slot.
// Most texts of a request (names, numbers as text) fit inside, and the rest
// (a GUID) cost one pooled block instead of a std::string and its heap
// buffer.
class TextSlot {
 public:
  TextSlot() = default;
  // A longer text's block comes from `stream`. Throws std::bad_alloc,
  // leaving nothing to release.
  explicit TextSlot(std::string_view text, Stream stream = Stream::kNodes) {
    Init(text, stream);
  }
  TextSlot(const TextSlot& other) : TextSlot(other.View()) {}
  TextSlot& operator=(const TextSlot&) = delete;
  ~TextSlot() { Free(); }

  std::string_view View() const {
    if (size_ != kOutside) return {bytes_, size_};
    return {Block(), OutsideSize()};
  }

  // Exchanges the texts; cannot fail.
  void Swap(TextSlot& other) {
    std::swap(bytes_, other.bytes_);
    std::swap(size_, other.size_);
  }

 private:
  static constexpr unsigned char kOutside = 0xFF;
  static constexpr std::size_t kInside = 15;

  // Most texts fit inside; only the others leave the header.
  void Init(std::string_view text, Stream stream) {
    if (text.size() > kInside) return InitOutside(text, stream);
    std::memcpy(bytes_, text.data(), text.size());
    size_ = static_cast<unsigned char>(text.size());
  }
  void Free() {
    if (size_ == kOutside) FreeOutside();
  }
  void InitOutside(std::string_view text, Stream stream);
  void FreeOutside();
  // An outside text's block address is the slot's first word, and its
  // length the seven bytes after: the word that ends with size_.
  const char* Block() const {
    const char* block;
    std::memcpy(&block, bytes_, sizeof block);
    return block;
  }
  std::size_t OutsideSize() const {
    std::uint64_t word;
    std::memcpy(&word, bytes_ + sizeof(char*), sizeof word);
    return static_cast<std::size_t>(word & kOutsideSizes);
  }
  static constexpr std::uint64_t kOutsideSizes = (std::uint64_t{1} << 56) - 1;
#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "an outside text's length is read as the low bytes of a word"
#endif

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
  // Exchanges the elements with `other`; makes the slot's vector, and so
  // may throw std::bad_alloc, only when the slot has none.
  void Swap(std::vector<CNMessageBase>& other);
  // Exchanges the lists; cannot fail.
  void Swap(ListSlot& other) { std::swap(list_, other.list_); }
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

// Calls visit(field, slot) for every slot the node has, in field order: all
// fields of a full node, the set ones of a compact node.
template <class NodeType, class Visit>
void ForEachSlot(NodeType* node, Visit visit) {
  const qzfacility::ClassSchema* schema = node->Schema();
  if (schema == nullptr) return;
  const std::vector<FieldSchema>& fields = schema->fields;
  auto* slots = node->Slots();
  if (node->Full()) {
    for (const FieldSchema& field : fields) visit(field, slots + field.offset);
    return;
  }
  for (std::uint32_t bits = node->Fields(); bits != 0; bits &= bits - 1) {
    const FieldSchema& field =
        fields[static_cast<std::size_t>(__builtin_ctz(bits))];
    visit(field, slots);
    slots += SlotSize(field.kind);
  }
}

static_assert(sizeof(CNMessageBase::Node) == 8, "the header stays small");
static_assert(sizeof(TextSlot) == 16 && sizeof(RecordSlot) % 8 == 0 &&
                  sizeof(ListSlot) % 8 == 0,
              "slots keep 8-byte alignment");

}  // namespace qzfacility

#endif  // QZ_PLATFORM_FACILITY_STORAGE_H_
