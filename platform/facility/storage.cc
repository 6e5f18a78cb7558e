#include "facility/storage.h"

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "facility/message_facility.h"

using qzfacility::ClassSchema;
using qzfacility::FieldKind;
using qzfacility::FieldSchema;
using qzfacility::ListSlot;
using qzfacility::RecordSlot;
using Node = CNMessageBase::Node;

namespace {

Node* AllocateNode(const ClassSchema* schema, int group, int type) {
  const std::size_t slotBytes = schema == nullptr ? 0 : schema->slotBytes;
  void* memory = ::operator new(sizeof(Node) + slotBytes);
  return new (memory) Node{{1}, false, false, group, type, schema, 0};
}

void FreeNode(Node* node) {
  node->~Node();
  ::operator delete(node);
}

void DestroySlot(Node* node, const FieldSchema& field) {
  unsigned char* slot = node->Slot(field);
  switch (field.kind) {
    case FieldKind::kInt64:
      break;
    case FieldKind::kText:
      reinterpret_cast<std::string*>(slot)->~basic_string();
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
    for (const ClassSchema& schema : classes) {
      Node* node = AllocateNode(&schema, schema.group, schema.type);
      node->immortal = true;
      nodes_.push_back(node);
    }
    for (Node* node : nodes_) {
      for (const FieldSchema& field : node->schema->fields) {
        unsigned char* slot = node->Slot(field);
        switch (field.kind) {
          case FieldKind::kInt64:
            new (slot) long long(0);
            break;
          case FieldKind::kText:
            new (slot) std::string();
            break;
          case FieldKind::kRecord: {
            const ClassSchema* child =
                qzfacility::FindClass(field.childGroup, field.childType);
            auto* record = new (slot)
                RecordSlot{CNMessageFacility::Adopt(Of(*child)), nullptr};
            record->self = &record->record;
            break;
          }
          case FieldKind::kList: {
            auto* list = new (slot) ListSlot{{}, nullptr};
            list->self = &list->list;
            break;
          }
        }
      }
    }
  }

  Node* Of(const ClassSchema& schema) const {
    return nodes_[static_cast<std::size_t>(&schema -
                                           qzfacility::AllClasses().data())];
  }

 private:
  std::vector<Node*> nodes_;
};

const EmptyNodes& TheEmptyNodes() {
  // Never destroyed: records in static storage elsewhere may point here.
  static const EmptyNodes* const nodes = new EmptyNodes();
  return *nodes;
}

std::atomic<int> startResult{0};

}  // namespace

Node* CNMessageFacility::EmptyNode(const ClassSchema& schema) {
  return TheEmptyNodes().Of(schema);
}

Node* CNMessageFacility::NewUnknownNode(int group, int type) {
  return AllocateNode(nullptr, group, type);
}

Node* CNMessageFacility::Clone(const Node* source) {
  Node* node = AllocateNode(source->schema, source->group, source->type);
  node->setMask = source->setMask;
  if (source->schema == nullptr) return node;
  std::size_t built = 0;
  try {
    for (const FieldSchema& field : source->schema->fields) {
      const unsigned char* from = source->Slot(field);
      unsigned char* to = node->Slot(field);
      switch (field.kind) {
        case FieldKind::kInt64:
          new (to) long long(*reinterpret_cast<const long long*>(from));
          break;
        case FieldKind::kText:
          new (to) std::string(*reinterpret_cast<const std::string*>(from));
          break;
        case FieldKind::kRecord: {
          auto* record = new (to) RecordSlot{
              reinterpret_cast<const RecordSlot*>(from)->record, nullptr};
          record->self = &record->record;
          break;
        }
        case FieldKind::kList: {
          auto* list = new (to)
              ListSlot{reinterpret_cast<const ListSlot*>(from)->list, nullptr};
          list->self = &list->list;
          break;
        }
      }
      ++built;
    }
  } catch (...) {
    DestroySlots(node, built);
    FreeNode(node);
    throw;
  }
  return node;
}

void CNMessageFacility::Destroy(Node* node) {
  if (node->schema != nullptr) {
    DestroySlots(node, node->schema->fields.size());
  }
  FreeNode(node);
}

Node* CNMessageFacility::Share(Node* node) {
  if (node->immortal) return node;
  if (node->unshareable) return Clone(node);
  node->refs.fetch_add(1, std::memory_order_relaxed);
  return node;
}

void CNMessageFacility::Release(Node* node) {
  if (node->immortal) return;
  // A sole owner cannot race with anyone taking a new reference.
  if (node->refs.load(std::memory_order_acquire) == 1 ||
      node->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    Destroy(node);
  }
}

Node* CNMessageFacility::Mutable(CNMessageBase& record) {
  Node* node = record.node_;
  if (node->immortal || node->refs.load(std::memory_order_acquire) != 1) {
    Node* copy = Clone(node);
    Release(node);
    record.node_ = copy;
  }
  return record.node_;
}

bool CNMessageFacility::IsEmpty(const Node* node) {
  if (node->immortal) return true;
  if (node->setMask != 0) return false;
  if (node->schema == nullptr) return true;
  for (const FieldSchema& field : node->schema->fields) {
    const unsigned char* slot = node->Slot(field);
    if (field.kind == FieldKind::kRecord &&
        !IsEmpty(reinterpret_cast<const RecordSlot*>(slot)->record.node_)) {
      return false;
    }
    if (field.kind == FieldKind::kList &&
        !reinterpret_cast<const ListSlot*>(slot)->list.empty()) {
      return false;
    }
  }
  return true;
}

void CNMessageFacility::SetStartResult(int result) {
  startResult.store(result, std::memory_order_relaxed);
}

int CNMessageFacility::StartResult() {
  return startResult.load(std::memory_order_relaxed);
}
