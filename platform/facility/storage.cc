#include "facility/storage.h"

#include <atomic>
#include <cstring>
#include <new>
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

// An unknown class's node keeps its group and type in place of slots; a
// node that hands addresses out has its address words after the slots.
std::size_t NodeBytes(const ClassSchema* schema, bool forAddress) {
  if (schema == nullptr) return sizeof(Node) + 2 * sizeof(int);
  return sizeof(Node) + schema->slotBytes +
         (forAddress ? schema->addressBytes : 0);
}

Node* AllocateNode(const ClassSchema* schema, bool forAddress = false) {
  void* memory = qzfacility::AllocateNodeMemory(NodeBytes(schema, forAddress));
  return new (memory) Node{{1}, forAddress ? Node::kUnshareable : 0, schema};
}

// Frees the node's memory; its slots must own nothing by now.
void FreeNode(Node* node) {
  const std::size_t bytes = NodeBytes(node->schema, node->Unshareable());
  node->~Node();
  qzfacility::FreeNodeMemory(node, bytes);
}

// Points each address word of an unshareable node at its nested record.
void SetAddressWords(Node* node) {
  if (node->schema == nullptr) return;
  for (const FieldSchema& field : node->schema->fields) {
    if (field.kind != FieldKind::kRecord) continue;
    *node->AddressWord(field) =
        &reinterpret_cast<RecordSlot*>(node->Slot(field))->record;
  }
}

void DestroySlot(Node* node, const FieldSchema& field) {
  unsigned char* slot = node->Slot(field);
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

void DestroySlots(Node* node, std::size_t count) {
  for (std::size_t i = count; i-- > 0;) {
    DestroySlot(node, node->schema->fields[i]);
  }
}

// The immortal empty node of every known class. Built in two passes because
// an empty node's nested-record slots point at other classes' empty nodes.
class EmptyNodes {
 public:
  EmptyNodes() {
    const std::vector<ClassSchema>& classes = qzfacility::AllClasses();
    nodes_.reserve(classes.size());
    byIdentity_.resize(qzfacility::kGroups * qzfacility::kTypes);
    for (const ClassSchema& schema : classes) {
      Node* node = AllocateNode(&schema);
      node->refs.store(Node::kImmortalRefs, std::memory_order_relaxed);
      nodes_.push_back(node);
      byIdentity_[Identity(schema.group, schema.type)] = node;
    }
    for (Node* node : nodes_) {
      for (const FieldSchema& field : node->schema->fields) {
        unsigned char* slot = node->Slot(field);
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

// A node of the source's class and marks, in the layout `forAddress` says,
// holding a byte copy of the source's slots: a copy whole where the slots
// own nothing (an empty node's) or where the source gives them up (a move).
Node* ByteCopy(const Node* source, bool forAddress) {
  const ClassSchema& schema = *source->schema;
  Node* node = AllocateNode(&schema, forAddress);
  std::memcpy(static_cast<void*>(node + 1), source + 1, schema.slotBytes);
  node->setMask |= source->setMask & ~Node::kUnshareable;
  if (forAddress) SetAddressWords(node);
  return node;
}

// Makes `to` own a copy of what `from` owns; `to` holds a byte copy of
// `from` until then, and still does if this throws.
void CopyOwned(const ClassSchema::OwningSlot& slot, const unsigned char* from,
               unsigned char* to) {
  switch (slot.kind) {
    case FieldKind::kInt64:
      break;
    case FieldKind::kText:
      new (to) TextSlot(*reinterpret_cast<const TextSlot*>(from));
      break;
    case FieldKind::kRecord:
      new (to) RecordSlot{reinterpret_cast<const RecordSlot*>(from)->record};
      break;
    case FieldKind::kList:
      new (to) ListSlot(*reinterpret_cast<const ListSlot*>(from));
      break;
  }
}

}  // namespace

Node* CNMessageFacility::EmptyNode(const ClassSchema& schema) {
  return TheEmptyNodes().Of(schema);
}

Node* CNMessageFacility::EmptyNodeOf(int group, int type) {
  return TheEmptyNodes().OfIdentity(group, type);
}

Node* CNMessageFacility::NewUnknownNode(int group, int type) {
  Node* node = AllocateNode(nullptr);
  int* identity = reinterpret_cast<int*>(node + 1);
  new (identity) int(group);
  new (identity + 1) int(type);
  return node;
}

Node* CNMessageFacility::Clone(const Node* source, bool forAddress) {
  if (source->schema == nullptr) {
    return NewUnknownNode(source->Group(), source->Type());
  }
  // Every new record starts as a copy of its class's empty node, whose slots
  // own nothing (no outside text, no list, immortal children).
  if (source->Immortal()) return ByteCopy(source, forAddress);
  const ClassSchema& schema = *source->schema;
  // Numbers copy as bytes; each slot that owns something then takes its own
  // copy over its bytes.
  Node* node = ByteCopy(source, forAddress);
  const auto* from = reinterpret_cast<const unsigned char*>(source + 1);
  auto* to = reinterpret_cast<unsigned char*>(node + 1);
  std::size_t copied = 0;
  try {
    for (; copied < schema.owningSlots.size(); ++copied) {
      const ClassSchema::OwningSlot& slot = schema.owningSlots[copied];
      CopyOwned(slot, from + slot.offset, to + slot.offset);
    }
  } catch (...) {
    // The slots not yet copied still hold the source's bytes: give them the
    // empty node's, which own nothing, before the node is destroyed.
    const auto* empty =
        reinterpret_cast<const unsigned char*>(EmptyNode(schema) + 1);
    for (std::size_t i = copied; i < schema.owningSlots.size(); ++i) {
      const ClassSchema::OwningSlot& slot = schema.owningSlots[i];
      std::memcpy(to + slot.offset, empty + slot.offset,
                  qzfacility::SlotSize(slot.kind));
    }
    Destroy(node);
    throw;
  }
  return node;
}

Node* CNMessageFacility::MakeAddressable(CNMessageBase& record) {
  Node* node = record.node_;
  if (!SoleOwner(node)) return TakeCopy(record, true);
  if (node->schema == nullptr || node->schema->addressBytes == 0) {
    node->setMask |= Node::kUnshareable;
    return node;
  }
  // The sole owner's node moves to the larger layout. Its slots move as
  // bytes: what they hold points elsewhere, never into the node.
  Node* moved = ByteCopy(node, true);
  FreeNode(node);
  record.node_ = moved;
  return moved;
}

void CNMessageFacility::Destroy(Node* node) {
  if (node->schema != nullptr) {
    DestroySlots(node, node->schema->fields.size());
  }
  FreeNode(node);
}

void CNMessageFacility::Drop(CNMessageBase& record) {
  static Node* const spent = EmptyNode(qzfacility::AllClasses().front());
  Release(std::exchange(record.node_, spent));
}

bool CNMessageFacility::IsEmpty(const Node* node) {
  if (node->Immortal()) return true;
  if (node->AnyFieldSet()) return false;
  if (node->schema == nullptr) return true;
  for (const FieldSchema& field : node->schema->fields) {
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
  if (node->schema == nullptr || !descends(node)) return;
  const auto* slots = reinterpret_cast<const unsigned char*>(node + 1);
  for (const std::size_t offset : node->schema->recordOffsets) {
    const auto* record = reinterpret_cast<const RecordSlot*>(slots + offset);
    FetchLevel(CNMessageFacility::NodeOf(record->record), depth - 1, descends);
  }
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

ListSlot::ListSlot(const ListSlot& other) {
  if (other.Empty()) return;
  std::vector<CNMessageBase>* list = Make();
  try {
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
  void* memory = AllocateNodeMemory(sizeof(std::vector<CNMessageBase>));
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

void TextSlot::InitOutside(std::string_view text) {
  const std::size_t size = text.size();
  char* block = static_cast<char*>(AllocateNodeMemory(sizeof size + size));
  std::memcpy(block, &size, sizeof size);
  std::memcpy(block + sizeof size, text.data(), size);
  std::memcpy(bytes_, &block, sizeof block);
  size_ = kOutside;
}

void TextSlot::FreeOutside() {
  FreeNodeMemory(const_cast<char*>(Block()),
                 sizeof(std::size_t) + View().size());
}

}  // namespace qzfacility

void CNMessageFacility::SetStartResult(int result) {
  startResult.store(result, std::memory_order_relaxed);
}

int CNMessageFacility::StartResult() {
  return startResult.load(std::memory_order_relaxed);
}
