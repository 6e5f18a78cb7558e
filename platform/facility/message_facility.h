// The facility's internals, for its own code and for the simulated
// installation: node management, the start result and a canonical text form
// of records used by tests and examples.
#ifndef QZ_PLATFORM_FACILITY_MESSAGE_FACILITY_H_
#define QZ_PLATFORM_FACILITY_MESSAGE_FACILITY_H_

#include <atomic>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "facility/node_pool.h"
#include "facility/schema.h"
#include "facility/storage.h"
#include "host/message_base.h"

class CNMessageFacility {
 public:
  using Node = CNMessageBase::Node;

  static Node* NodeOf(const CNMessageBase& record) { return record.node_; }

  // The record's node, made private to this handle first if it is shared,
  // for handing out an address into it: it then may no longer be shared,
  // and is laid out in full.
  static Node* MutableForAddress(CNMessageBase& record);

  // The slot of `field` in the record's own node, for a write that cannot
  // fail: the node is made private first and given the slot if it has none.
  // The field counts as set from now on. Throws std::bad_alloc, changing
  // nothing the record shows.
  static unsigned char* SlotToWrite(CNMessageBase& record,
                                    const qzfacility::FieldSchema& field);

  // True when the node has no other handle; never for an immortal node.
  static bool SoleOwner(const Node* node) {
    return node->refs.load(std::memory_order_acquire) == 1;
  }

  // A new reference for another handle: shared, or a private copy when the
  // node may not be shared. `node` is held by a handle of the calling
  // thread's, or is an element of a list being copied (see below).
  static Node* Share(Node* node);
  // A copy of a record held in a node's slot, which other threads may be
  // copying at the same time.
  static CNMessageBase CopyNested(const CNMessageBase& record) {
    return Adopt(ShareCounted(record.node_, false));
  }
  static void Release(Node* node);

  // The shared empty node of a known class.
  static Node* EmptyNode(const qzfacility::ClassSchema& schema);
  // The same by identity, every new record's start; null for a class the
  // facility does not know.
  static Node* EmptyNodeOf(int group, int type);
  // A new node of a class the facility does not know: it has no fields.
  static Node* NewUnknownNode(int group, int type);

  // True when no field holds anything, nested records included.
  static bool IsEmpty(const Node* node);

  static CNMessageBase Adopt(Node* node) { return CNMessageBase(node); }
  // Releases the record's node ahead of the record's end: the record is
  // left holding an immortal node (of any class), and is fit only to be
  // destroyed.
  static void Drop(CNMessageBase& record);
  static void Swap(CNMessageBase& a, CNMessageBase& b) {
    std::swap(a.node_, b.node_);
  }

  static void SetStartResult(int result);
  static int StartResult();

  // One text line per set field, nested records indented, fields in index
  // order; texts quoted with every byte outside printable ASCII escaped.
  static std::string Render(const CNMessageBase& record);

  // A compact XML form of a record and back: every set field with its full
  // identity, texts of any bytes. FromXml checks the document against the
  // facility's table and throws std::runtime_error saying what is wrong and
  // where; ToXml throws std::invalid_argument for a class the facility does
  // not know, since such a record could not be read back.
  static std::string ToXml(const CNMessageBase& record);
  static CNMessageBase FromXml(const std::string& xml);

  // ToXml as a stream: the text goes to `sink` in pieces of at most
  // `chunkBytes` (256 at least), each handed over as soon as it is full, so
  // a million-record document never sits whole in memory. A throw from the
  // sink stops the writing.
  using XmlSink = std::function<void(std::string_view piece)>;
  static constexpr std::size_t kXmlChunkBytes = 64 * 1024;
  static void WriteXml(const CNMessageBase& record, const XmlSink& sink,
                       std::size_t chunkBytes = kXmlChunkBytes);

  // WriteXml for a record not wanted afterwards: each list element is let
  // go as soon as it is written, so that a reader fed the text can build
  // its copy in the memory the original gives up. `record` is left empty
  // (of its class), also when the writing throws.
  static void WriteXmlReleasing(CNMessageBase& record, const XmlSink& sink,
                                std::size_t chunkBytes = kXmlChunkBytes);

  // FromXml fed piece by piece (e.g. by WriteXml's sink): records are built
  // as their elements arrive and only the unfinished tail of the text is
  // kept. Finish reads the last of it and returns or throws exactly what
  // FromXml would have for the whole text, however it was cut.
  class XmlReader {
   public:
    XmlReader();
    ~XmlReader();
    XmlReader(const XmlReader&) = delete;
    XmlReader& operator=(const XmlReader&) = delete;

    void Feed(std::string_view piece);
    CNMessageBase Finish();

   private:
    friend class CNMessageFacility;  // FromXml reads its string in place
    class Parser;
    std::unique_ptr<Parser> parser_;
    std::string pending_;  // the unfinished tail of what was fed
    bool failed_ = false;  // the text fed so far is not XML
  };

 private:
  // A private copy of `source`: compact, or laid out in full and unshareable
  // when `forAddress` says so or the source is.
  static Node* Clone(const Node* source, bool forAddress);
  // Share; `held` says no other thread can reach the node but through the
  // calling thread's handle.
  static Node* ShareCounted(Node* node, bool held);
  // Gives the record a private copy of its node in place of its reference,
  // in the layout `forAddress` says.
  static Node* TakeCopy(CNMessageBase& record, bool forAddress);
  // SlotToWrite for a record whose node is shared (or immortal), and for a
  // compact node that lacks the field's slot.
  static unsigned char* SlotInCopy(CNMessageBase& record,
                                   const qzfacility::FieldSchema& field);
  static unsigned char* NewSlot(CNMessageBase& record,
                                const qzfacility::FieldSchema& field);
  // Gives a new slot the bytes of an unset field and returns it.
  static unsigned char* EmptySlotAt(const qzfacility::FieldSchema& field,
                                    unsigned char* slot);
  // MutableForAddress for a record whose node is not yet unshareable.
  static Node* MakeAddressable(CNMessageBase& record);
  // IsEmpty for a full node with no field written: it may hold a nested
  // record or list filled in place.
  static bool FullNodeIsEmpty(const Node* node);
  static void Destroy(Node* node);
};

namespace qzfacility {

// Set while a list held in a node is copied: its elements are reached
// through that node, which other threads may be copying too.
[[gnu::visibility("hidden"),
  gnu::tls_model("initial-exec")]] extern __thread bool copyingNested;

}  // namespace qzfacility

// Most nested records a reader asks about were never touched and share the
// empty node, so the answer for them is inline.
inline bool CNMessageFacility::IsEmpty(const Node* node) {
  if (node->Immortal()) return true;
  if (node->AnyFieldSet()) return false;
  // A compact node with nothing set has no slots.
  return !node->Full() || FullNodeIsEmpty(node);
}

// The reference counting sits on every copy and write, so it is inline.

inline CNMessageFacility::Node* CNMessageFacility::Share(Node* node) {
  return ShareCounted(node, !qzfacility::copyingNested);
}

inline CNMessageFacility::Node* CNMessageFacility::ShareCounted(Node* node,
                                                                bool held) {
  // Acquire: a count of one may come from another thread's release, whose
  // reads of the node must come before whatever this handle does next (a
  // plain store, unlike an update, ends that release's sequence).
  const int refs = node->refs.load(std::memory_order_acquire);
  if (refs >= Node::kImmortalRefs) return node;
  // A copy of a node that hands addresses out is likely walked the same
  // way, so it takes the same layout.
  if (node->Unshareable()) return Clone(node, true);
  // A node that counts one reference, held by a handle of this thread's, has
  // no other way to it, and a handle is used by one thread at a time: no
  // other thread can count it meanwhile, so the count needs no locked update,
  // which would wait for every store ahead of it (a request being built is
  // all stores).
  if (held && refs == 1) {
    node->refs.store(2, std::memory_order_relaxed);
  } else {
    node->refs.fetch_add(1, std::memory_order_relaxed);
  }
  return node;
}

inline void CNMessageFacility::Release(Node* node) {
  // A sole owner cannot race with anyone taking a new reference.
  const int refs = node->refs.load(std::memory_order_acquire);
  if (refs >= Node::kImmortalRefs) return;
  if (refs == 1 || node->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    Destroy(node);
  }
}

inline CNMessageFacility::Node* CNMessageFacility::TakeCopy(
    CNMessageBase& record, bool forAddress) {
  Node* node = record.node_;
  Node* copy = Clone(node, forAddress);
  Release(node);
  record.node_ = copy;
  return copy;
}

inline CNMessageFacility::Node* CNMessageFacility::MutableForAddress(
    CNMessageBase& record) {
  Node* node = record.node_;
  // An unshareable node has this handle as its one owner.
  return node->Unshareable() ? node : MakeAddressable(record);
}

inline unsigned char* CNMessageFacility::SlotToWrite(
    CNMessageBase& record, const qzfacility::FieldSchema& field) {
  Node* node = record.node_;
  // A full node has this handle as its one owner and a slot for every field.
  if (node->Full()) {
    node->setMask |= field.bit;
    return node->Slots() + field.offset;
  }
  if (!SoleOwner(node)) return SlotInCopy(record, field);
  if ((node->setMask & field.bit) != 0) return node->Slot(field);
  // A record being built takes its fields in order, on the last node cut:
  // the next one's slot goes at the end, and the node grows where it lies.
  const std::size_t bytes = sizeof(Node) + node->CompactBytes();
  const std::size_t more = qzfacility::SlotSize(field.kind);
  if ((node->Fields() & ~(2 * field.bit - 1)) == 0 &&
      qzfacility::ExtendNodeMemory(node, bytes, more)) {
    node->setMask = Node::Grown(node->setMask, field, more);
    return EmptySlotAt(field, node->Slots() + (bytes - sizeof(Node)));
  }
  return NewSlot(record, field);
}

inline unsigned char* CNMessageFacility::EmptySlotAt(
    const qzfacility::FieldSchema& field, unsigned char* slot) {
  static_assert(sizeof(qzfacility::RecordSlot) == sizeof(Node*) &&
                    sizeof(qzfacility::ListSlot) == sizeof(long long),
                "a record slot is its node's address, a list slot all zero");
  // Only a nested record's bytes are not all zero.
  if (field.kind == qzfacility::FieldKind::kRecord) {
    const Node* empty = EmptyNodeOf(field.childGroup, field.childType);
    std::memcpy(slot, &empty, sizeof empty);
  } else if (field.kind == qzfacility::FieldKind::kText) {
    std::memset(slot, 0, sizeof(qzfacility::TextSlot));
  } else {
    std::memset(slot, 0, sizeof(long long));
  }
  return slot;
}

#endif  // QZ_PLATFORM_FACILITY_MESSAGE_FACILITY_H_
