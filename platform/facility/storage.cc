#include "facility/storage.h"

#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "facility/message_facility.h"
#include "facility/node_pool.h"

using qzfacility::ClassSchema;
using qzfacility::FieldKind;
using qzfacility::FieldSchema;
using qzfacility::ListSlot;
using qzfacility::RecordSlot;
using qzfacility::TextSlot;
using Node = CNMessageBase::Node;

namespace {

constexpr std::size_t kUnknownBytes = sizeof(Node) + 2 * sizeof(int);

std::size_t FullBytes(const ClassSchema& schema) {
  return sizeof(Node) + schema.slotBytes + schema.addressBytes;
}

std::size_t NodeBytes(const Node* node) {
  const ClassSchema* schema = node->Schema();
  if (schema == nullptr) return kUnknownBytes;
  if (node->Full()) return FullBytes(*schema);
  return sizeof(Node) + node->CompactBytes();
}

// `setMask` says which fields the node has; the class is `schema`'s.
Node* AllocateNode(const ClassSchema* schema, std::size_t bytes,
                   std::uint32_t setMask) {
  void* memory = qzfacility::AllocateNodeMemory(bytes);
  constexpr std::uint32_t kClassBits = Node::kClassMask << Node::kClassShift;
  // Every caller asks for the header and its slots at least.
  return new (memory)  // NOLINT(clang-analyzer-cplusplus.PlacementNew)
      Node{{1}, (setMask & ~kClassBits) | Node::ClassMarks(schema)};
}

// Frees the node's memory; its slots must own nothing by now.
void FreeNode(Node* node) {
  const std::size_t bytes = NodeBytes(node);
  node->~Node();
  qzfacility::FreeNodeMemory(node, bytes);
}

// Points each address word of a full node at its nested record.
void SetAddressWords(Node* node) {
  for (const FieldSchema& field : node->Schema()->fields) {
    if (field.kind != FieldKind::kRecord) continue;
    *node->AddressWord(field) =
        &reinterpret_cast<RecordSlot*>(node->Slots() + field.offset)->record;
  }
}

void DestroySlot(const FieldSchema& field, unsigned char* slot) {
  switch (field.kind) {
    case FieldKind::kInt64:
      break;
    case FieldKind::kText:
      reinterpret_cast<TextSlot*>(slot)->~TextSlot();
      break;
    case FieldKind::kRecord:
      reinterpret_cast<RecordSlot*>(slot)->~RecordSlot();
      break;
    case FieldKind::kList:
      reinterpret_cast<ListSlot*>(slot)->~ListSlot();
      break;
  }
}

// The immortal empty node of every known class, laid out in full: its slots
// are where every other node's unset fields take their bytes from. Built in
// two passes because an empty node's nested-record slots point at other
// classes' empty nodes.
class EmptyNodes {
 public:
  EmptyNodes() {
    const std::vector<ClassSchema>& classes = qzfacility::AllClasses();
    nodes_.reserve(classes.size());
    byIdentity_.resize(qzfacility::kGroups * qzfacility::kTypes);
    for (const ClassSchema& schema : classes) {
      Node* node = AllocateNode(&schema, sizeof(Node) + schema.slotBytes, 0);
      node->refs.store(Node::kImmortalRefs, std::memory_order_relaxed);
      nodes_.push_back(node);
      byIdentity_[Identity(schema.group, schema.type)] = node;
    }
    for (Node* node : nodes_) {
      for (const FieldSchema& field : node->Schema()->fields) {
        unsigned char* slot = node->Slots() + field.offset;
        switch (field.kind) {
          case FieldKind::kInt64:
            new (slot) long long(0);
            break;
          case FieldKind::kText:
            new (slot) TextSlot();
            break;
          case FieldKind::kRecord: {
            const ClassSchema* child =
                qzfacility::FindClass(field.childGroup, field.childType);
            new (slot) RecordSlot{CNMessageFacility::Adopt(Of(*child))};
            break;
          }
          case FieldKind::kList:
            new (slot) ListSlot();
            break;
        }
      }
    }
  }

  Node* Of(const ClassSchema& schema) const { return nodes_[schema.position]; }

  Node* OfIdentity(int group, int type) const {
    if (group < 0 || group >= qzfacility::kGroups || type < 0 ||
        type >= qzfacility::kTypes) {
      return nullptr;
    }
    return byIdentity_[Identity(group, type)];
  }

 private:
  static std::size_t Identity(int group, int type) {
    return static_cast<std::size_t>(group * qzfacility::kTypes + type);
  }

  std::vector<Node*> nodes_;
  std::vector<Node*> byIdentity_;  // null where no class is
};

const EmptyNodes& TheEmptyNodes() {
  // Never destroyed: records in static storage elsewhere may point here.
  static const EmptyNodes* const nodes = new EmptyNodes();
  return *nodes;
}

std::atomic<int> startResult{0};

// A full node of the source's class and marks whose slots hold the empty
// node's bytes, which own nothing, for its unset fields and a byte copy of
// the source's for the others: a copy whole where the source gives them up
// (a move), to be made a real one slot by slot otherwise.
Node* FullByteCopy(const Node* source) {
  const ClassSchema& schema = *source->Schema();
  Node* node = AllocateNode(&schema, FullBytes(schema),
                            source->Fields() | Node::kUnshareable);
  if (source->Full()) {
    std::memcpy(node->Slots(), source->Slots(), schema.slotBytes);
  } else {
    std::memcpy(node->Slots(), CNMessageFacility::EmptyNode(schema)->Slots(),
                schema.slotBytes);
    qzfacility::ForEachSlot(
        source, [&](const FieldSchema& field, const unsigned char* slot) {
          std::memcpy(node->Slots() + field.offset, slot,
                      qzfacility::SlotSize(field.kind));
        });
  }
  SetAddressWords(node);
  return node;
}

// A compact node of the compact source's class and marks holding a byte
// copy of its slots.
Node* CompactByteCopy(const Node* source) {
  const std::size_t bytes = NodeBytes(source);
  Node* node = AllocateNode(source->Schema(), bytes, source->setMask);
  std::memcpy(node->Slots(), source->Slots(), bytes - sizeof(Node));
  return node;
}

// Makes `to` own a copy of what `from` owns; `to` holds a byte copy of
// `from` until then, and still does if this throws.
void CopyOwned(FieldKind kind, const unsigned char* from, unsigned char* to) {
  switch (kind) {
    case FieldKind::kInt64:
      break;
    case FieldKind::kText:
      new (to) TextSlot(*reinterpret_cast<const TextSlot*>(from));
      break;
    case FieldKind::kRecord:
      new (to) RecordSlot{CNMessageFacility::CopyNested(
          reinterpret_cast<const RecordSlot*>(from)->record)};
      break;
    case FieldKind::kList:
      new (to) ListSlot(*reinterpret_cast<const ListSlot*>(from));
      break;
  }
}

// Calls visit(kind, offset, from, to) for every slot of `source` that may
// own something and the same field's slot of `copy`, which has the same
// fields; `offset` is the field's in the full layout.
template <class Visit>
void ForEachOwningSlot(const Node* source, Node* copy, Visit visit) {
  if (source->Full()) {
    for (const ClassSchema::OwningSlot& slot : source->Schema()->owningSlots) {
      visit(slot.kind, slot.offset, source->Slots() + slot.offset,
            copy->Slots() + slot.offset);
    }
    return;
  }
  qzfacility::ForEachSlot(source, [&](const FieldSchema& field,
                                      const unsigned char* from) {
    if (field.kind == FieldKind::kInt64) return;
    // A compact copy has the source's layout.
    unsigned char* to = copy->Full() ? copy->Slots() + field.offset
                                     : copy->Slots() + (from - source->Slots());
    visit(field.kind, field.offset, from, to);
  });
}

}  // namespace

Node* CNMessageFacility::EmptyNode(const ClassSchema& schema) {
  return TheEmptyNodes().Of(schema);
}

Node* CNMessageFacility::EmptyNodeOf(int group, int type) {
  return TheEmptyNodes().OfIdentity(group, type);
}

Node* CNMessageFacility::NewUnknownNode(int group, int type) {
  Node* node = AllocateNode(nullptr, kUnknownBytes, 0);
  int* identity = reinterpret_cast<int*>(node + 1);
  new (identity) int(group);
  new (identity + 1) int(type);
  return node;
}

Node* CNMessageFacility::Clone(const Node* source, bool forAddress) {
  const ClassSchema* known = source->Schema();
  if (known == nullptr) return NewUnknownNode(source->Group(), source->Type());
  const ClassSchema& schema = *known;
  // Numbers copy as bytes; each slot that owns something then takes its own
  // copy over its bytes.
  Node* node = forAddress || source->Full() ? FullByteCopy(source)
                                            : CompactByteCopy(source);
  if (source->Immortal()) return node;  // its slots own nothing
  std::size_t copied = 0;
  try {
    ForEachOwningSlot(source, node,
                      [&](FieldKind kind, std::size_t,
                          const unsigned char* from, unsigned char* to) {
                        CopyOwned(kind, from, to);
                        ++copied;
                      });
  } catch (...) {
    // The slots not yet copied still hold the source's bytes: give them the
    // empty node's, which own nothing, before the node is destroyed.
    const unsigned char* empty = EmptyNode(schema)->Slots();
    std::size_t seen = 0;
    ForEachOwningSlot(source, node,
                      [&](FieldKind kind, std::size_t offset,
                          const unsigned char*, unsigned char* to) {
                        if (seen++ < copied) return;
                        std::memcpy(to, empty + offset,
                                    qzfacility::SlotSize(kind));
                      });
    Destroy(node);
    throw;
  }
  return node;
}

Node* CNMessageFacility::MakeAddressable(CNMessageBase& record) {
  Node* node = record.node_;
  if (!SoleOwner(node)) return TakeCopy(record, true);
  if (node->Schema() == nullptr) {
    node->setMask |= Node::kUnshareable;
    return node;
  }
  // The sole owner's node moves to the full layout. Its slots move as
  // bytes: what they hold points elsewhere, never into the node.
  Node* moved = FullByteCopy(node);
  FreeNode(node);
  record.node_ = moved;
  return moved;
}

unsigned char* CNMessageFacility::SlotInCopy(CNMessageBase& record,
                                             const FieldSchema& field) {
  Node* node = record.node_;
  if (node->Immortal()) {
    // A fresh record's first write: a node of just this slot.
    const std::size_t bytes = qzfacility::SlotSize(field.kind);
    node = AllocateNode(node->Schema(), sizeof(Node) + bytes,
                        Node::Grown(0, field, bytes));
    record.node_ = node;
    return EmptySlotAt(field, node->Slots());
  }
  TakeCopy(record, false);
  return SlotToWrite(record, field);  // the node is this record's alone now
}

unsigned char* CNMessageFacility::NewSlot(CNMessageBase& record,
                                          const FieldSchema& field) {
  Node* node = record.node_;
  // The new slot goes between its neighbours in field order: after the
  // slots of the set fields before it.
  const std::size_t more = qzfacility::SlotSize(field.kind);
  const std::size_t bytes = sizeof(Node) + node->CompactBytes();
  const std::size_t at = node->SlotOffset(field);
  const std::size_t after = bytes - sizeof(Node) - at;
  // The node grows where it lies when it was the last cut, which it is
  // while being built.
  if (qzfacility::ExtendNodeMemory(node, bytes, more)) {
    if (after != 0) {
      std::memmove(node->Slots() + at + more, node->Slots() + at, after);
    }
  } else {
    Node* grown = AllocateNode(node->Schema(), bytes + more, node->setMask);
    std::memcpy(grown->Slots(), node->Slots(), at);
    std::memcpy(grown->Slots() + at + more, node->Slots() + at, after);
    FreeNode(node);
    record.node_ = node = grown;
  }
  node->setMask = Node::Grown(node->setMask, field, more);
  return EmptySlotAt(field, node->Slots() + at);
}

void CNMessageFacility::Destroy(Node* node) {
  qzfacility::ForEachSlot(node, DestroySlot);
  FreeNode(node);
}

void CNMessageFacility::Drop(CNMessageBase& record) {
  static Node* const spent = EmptyNode(qzfacility::AllClasses().front());
  Release(std::exchange(record.node_, spent));
}

bool CNMessageFacility::FullNodeIsEmpty(const Node* node) {
  const ClassSchema* schema = node->Schema();
  if (schema == nullptr) return true;
  for (const FieldSchema& field : schema->fields) {
    const unsigned char* slot = node->Slot(field);
    if (field.kind == FieldKind::kRecord &&
        !IsEmpty(reinterpret_cast<const RecordSlot*>(slot)->record.node_)) {
      return false;
    }
    if (field.kind == FieldKind::kList &&
        !reinterpret_cast<const ListSlot*>(slot)->Empty()) {
      return false;
    }
  }
  return true;
}

namespace qzfacility {

namespace {

// Asks for the nodes `depth` levels below `node` that the pass will touch:
// a node's nested records are touched only where `descends` says the pass
// goes into the node (copies it, or destroys it).
template <class Descends>
void FetchLevel(const Node* node, int depth, Descends descends) {
  if (depth == 0) {
    __builtin_prefetch(node, 1);
    return;
  }
  const ClassSchema* schema = node->Schema();
  if (schema == nullptr || !descends(node)) return;
  const auto fetch = [&](const unsigned char* slot) {
    FetchLevel(CNMessageFacility::NodeOf(
                   reinterpret_cast<const RecordSlot*>(slot)->record),
               depth - 1, descends);
  };
  if (node->Full()) {
    for (const std::size_t offset : schema->recordOffsets) {
      fetch(node->Slots() + offset);
    }
    return;
  }
  if ((node->Fields() & schema->recordBits) == 0) return;
  ForEachSlot(node, [&](const FieldSchema& field, const unsigned char* slot) {
    if (field.kind == FieldKind::kRecord) fetch(slot);
  });
}

// Element at + kStep * (kLevels - d) has its level d asked for, so each
// level's lines have kStep elements' time to arrive before the next level
// is read from them. A request's compositions are four levels deep; a pass
// that copies only the elements' own nodes reads two levels.
template <int kLevels = 4, class Descends>
void FetchAhead(const std::vector<CNMessageBase>& list, std::size_t at,
                Descends descends) {
  constexpr std::size_t kStep = 8;
  for (int depth = 0; depth < kLevels; ++depth) {
    const std::size_t ahead =
        at + kStep * static_cast<std::size_t>(kLevels - depth);
    if (ahead < list.size()) {
      FetchLevel(CNMessageFacility::NodeOf(list[ahead]), depth, descends);
    }
  }
}

}  // namespace

void FetchAheadOfCopy(const std::vector<CNMessageBase>& list, std::size_t at) {
  // Sharing copies a node that may not be shared, and so its nested records.
  FetchAhead(list, at, [](const Node* node) {
    return !node->Immortal() && node->Unshareable();
  });
}

void FetchAheadOfRelease(const std::vector<CNMessageBase>& list,
                         std::size_t at) {
  // Releasing the last reference destroys the node and its nested records.
  FetchAhead(list, at, CNMessageFacility::SoleOwner);
}

__thread bool copyingNested = false;

ListSlot::ListSlot(const ListSlot& other) {
  if (other.Empty()) return;
  std::vector<CNMessageBase>* list = Make();
  // The elements are copied as handles; the mark has them counted as nested
  // records. It is restored as found, also on a throw: copying an element
  // may copy lists nested in it.
  struct NestedCopy {
    bool outer = copyingNested;
    NestedCopy() { copyingNested = true; }
    ~NestedCopy() { copyingNested = outer; }
  };
  try {
    NestedCopy nested;
    *list = CopyElements(*other.list_, [](std::size_t) {});
  } catch (...) {
    Unmake(list);
    throw;
  }
  list_ = list;
}

ListSlot::~ListSlot() {
  if (list_ != nullptr) Unmake(list_);
}

void ListSlot::Swap(std::vector<CNMessageBase>& other) {
  if (list_ == nullptr && other.empty()) return;
  if (list_ == nullptr) list_ = Make();
  list_->swap(other);
}

void ListSlot::OwnElements() {
  if (list_ == nullptr) return;
  // An empty element keeps its class's empty node until written, as any
  // fresh record does. The shared ones are about to be entered through
  // addresses, so they are copied in the layout for that; a copy reads the
  // node and counts one more reference on each of its nested records.
  const auto shared = [](const Node* node) {
    return !node->Immortal() && !CNMessageFacility::SoleOwner(node);
  };
  std::vector<CNMessageBase>& list = *list_;
  for (std::size_t i = 0; i < list.size(); ++i) {
    FetchAhead<2>(list, i, shared);
    if (shared(CNMessageFacility::NodeOf(list[i]))) {
      CNMessageFacility::MutableForAddress(list[i]);
    }
  }
}

std::vector<CNMessageBase>** ListSlot::Address() {
  if (list_ == nullptr) list_ = Make();
  return &list_;
}

const std::vector<CNMessageBase>& ListSlot::None() {
  static const std::vector<CNMessageBase> none;
  return none;
}

std::vector<CNMessageBase>* ListSlot::Make() {
  void* memory =
      AllocateNodeMemory(sizeof(std::vector<CNMessageBase>), Stream::kOwned);
  return new (memory) std::vector<CNMessageBase>();
}

void ListSlot::Unmake(std::vector<CNMessageBase>* list) {
  for (std::size_t i = 0; i < list->size(); ++i) {
    FetchAheadOfRelease(*list, i);
    CNMessageFacility::Drop((*list)[i]);
  }
  list->~vector();
  FreeNodeMemory(list, sizeof *list);
}

void TextSlot::InitOutside(std::string_view text, Stream stream) {
  const std::uint64_t size = text.size();
  if (size > kOutsideSizes) throw std::length_error("text too long to keep");
  char* block = static_cast<char*>(AllocateNodeMemory(size, stream));
  std::memcpy(block, text.data(), size);
  std::memcpy(bytes_, &block, sizeof block);
  std::memcpy(bytes_ + sizeof block, &size, sizeof bytes_ - sizeof block);
  size_ = kOutside;
}

void TextSlot::FreeOutside() {
  FreeNodeMemory(const_cast<char*>(Block()), OutsideSize());
}

}  // namespace qzfacility

void CNMessageFacility::SetStartResult(int result) {
  startResult.store(result, std::memory_order_relaxed);
}

int CNMessageFacility::StartResult() {
  return startResult.load(std::memory_order_relaxed);
}
