#include "host/message_base.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "facility/message_facility.h"
#include "facility/schema.h"
#include "facility/storage.h"

using qzfacility::ClassSchema;
using qzfacility::FieldKind;
using qzfacility::FieldSchema;
using qzfacility::ListSlot;
using qzfacility::RecordSlot;
using Node = CNMessageBase::Node;

namespace {

// Class hashes print as 32-bit numbers, field hashes as 24-bit ones.
std::string Hex(unsigned long value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*lX", digits, value);
  return text;
}

std::string ClassHex(unsigned long value) { return Hex(value, 8); }
std::string FieldHex(unsigned long value) { return Hex(value, 6); }

std::string ClassLabel(int group, int type) {
  const ClassSchema* schema = qzfacility::FindClass(group, type);
  std::string label =
      "(" + std::to_string(group) + ", " + std::to_string(type) + ")";
  return schema == nullptr ? label : schema->QualifiedName() + " " + label;
}

[[noreturn]] void Fail(const Node* node, const FieldSchema* field,
                       const std::string& what) {
  const ClassSchema* schema = node->Schema();
  std::string where = schema == nullptr
                          ? "record " + ClassLabel(node->Group(), node->Type())
                          : schema->QualifiedName();
  if (field != nullptr) where += std::string(".") + field->name;
  throw std::logic_error("CNMessageBase: " + where + ": " + what);
}

// `field` names the field being accessed, when the caller knows it.
const ClassSchema& CheckClass(const Node* node, unsigned long classHash,
                              const FieldSchema* field) {
  const ClassSchema* schema = node->Schema();
  if (schema == nullptr) {
    Fail(node, nullptr,
         "class unknown to the facility, accessed with class hash " +
             ClassHex(classHash));
  }
  if (schema->classHash != classHash) {
    Fail(node, field,
         "wrong class hash " + ClassHex(classHash) + " (expected " +
             ClassHex(schema->classHash) + ")");
  }
  return *schema;
}

// The checks below explain a mismatch; the inline ones after them decide
// whether there is one, which keeps the common path short.

// `field` is what the node's class has under `key` ("index" or "tag")
// `number`, or null.
const FieldSchema& ExplainedLookup(const Node* node, unsigned long classHash,
                                   const FieldSchema* field, const char* key,
                                   int number, unsigned long fieldHash) {
  CheckClass(node, classHash, field);
  if (field == nullptr) {
    Fail(node, nullptr,
         std::string("no field with ") + key + " " + std::to_string(number) +
             " (field hash " + FieldHex(fieldHash) + ")");
  }
  if (field->hash != fieldHash) {
    Fail(node, field,
         "wrong field hash " + FieldHex(fieldHash) + " (expected " +
             FieldHex(field->hash) + ")");
  }
  return *field;
}

const FieldSchema& LookedUpByIndex(const Node* node, unsigned long classHash,
                                   int index, unsigned long fieldHash) {
  const ClassSchema* schema = node->Schema();
  return ExplainedLookup(
      node, classHash,
      schema == nullptr ? nullptr : schema->FieldByIndex(index), "index", index,
      fieldHash);
}

// The kind the accessor reads as must be the field's.
void CheckKind(const Node* node, const FieldSchema& field, FieldKind kind) {
  if (field.kind != kind) {
    Fail(node, &field,
         std::string("a ") + qzfacility::KindName(field.kind) +
             " field, accessed as " + qzfacility::KindName(kind));
  }
}

// The field and class tables are built together from one list, so a field
// that passes every check above passes the fast one too.
[[noreturn]] void FailUnexplained(const Node* node, const FieldSchema& field) {
  Fail(node, &field, "the facility's field tables disagree");
}

// These never return, so that the fast paths keep nothing alive across them
// and save no registers.

[[noreturn, gnu::noinline, gnu::cold]] void ExplainFieldByIndex(
    const Node* node, unsigned long classHash, int index,
    unsigned long fieldHash) {
  FailUnexplained(node, LookedUpByIndex(node, classHash, index, fieldHash));
}

[[noreturn, gnu::noinline, gnu::cold]] void ExplainField(
    const Node* node, unsigned long classHash, short index, short tag,
    unsigned int fieldHash, FieldKind kind) {
  const FieldSchema& field = LookedUpByIndex(node, classHash, index, fieldHash);
  if (field.tag != tag) {
    Fail(node, &field,
         "wrong tag " + std::to_string(tag) + " (expected " +
             std::to_string(field.tag) + ")");
  }
  CheckKind(node, field, kind);
  FailUnexplained(node, field);
}

[[noreturn, gnu::noinline, gnu::cold]] void ExplainInt64ByTag(
    const Node* node, unsigned long classHash, short tag,
    unsigned int fieldHash) {
  const ClassSchema* schema = node->Schema();
  const FieldSchema& field = ExplainedLookup(
      node, classHash, schema == nullptr ? nullptr : schema->FieldByTag(tag),
      "tag", tag, fieldHash);
  CheckKind(node, field, FieldKind::kInt64);
  FailUnexplained(node, field);
}

// The fast checks find the field by the identity passed, which needs no
// node, and then only ask whether the node is of the field's class.

inline const FieldSchema& FieldByIndex(const Node* node,
                                       unsigned long classHash, int index,
                                       unsigned long fieldHash) {
  const FieldSchema* field = qzfacility::FieldByIdentity(classHash, index);
  if (field != nullptr && node->ClassPlace() == field->classPosition &&
      field->hash == fieldHash) {
    return *field;
  }
  ExplainFieldByIndex(node, classHash, index, fieldHash);
}

// Index, tag, field hash and kind must all name the same field.
inline const FieldSchema& CheckedField(const Node* node,
                                       unsigned long classHash, short index,
                                       short tag, unsigned int fieldHash,
                                       FieldKind kind) {
  const FieldSchema* field = qzfacility::FieldByIdentity(classHash, index);
  if (field != nullptr && node->ClassPlace() == field->classPosition &&
      field->hash == fieldHash && field->tag == tag && field->kind == kind) {
    return *field;
  }
  ExplainField(node, classHash, index, tag, fieldHash, kind);
}

// The int64 reader's field, found by tag as the wire does.
inline const FieldSchema& CheckedInt64ByTag(const Node* node,
                                            unsigned long classHash, short tag,
                                            unsigned int fieldHash) {
  const FieldSchema* field = qzfacility::FieldByTagIdentity(classHash, tag);
  if (field != nullptr && node->ClassPlace() == field->classPosition &&
      field->hash == fieldHash && field->kind == FieldKind::kInt64) {
    return *field;
  }
  ExplainInt64ByTag(node, classHash, tag, fieldHash);
}

[[noreturn, gnu::noinline, gnu::cold]] void FailChildClass(
    const Node* node, const FieldSchema& field, int group, int type,
    std::string_view what) {
  // Takes a view, so that no text is made on the way to a check that passes.
  Fail(node, &field,
       std::string(what) + " " + ClassLabel(group, type) + ", expected " +
           ClassLabel(field.childGroup, field.childType));
}

inline void CheckChildClass(const Node* node, const FieldSchema& field,
                            int group, int type, const char* what) {
  if (field.childGroup != group || field.childType != type) {
    FailChildClass(node, field, group, type, what);
  }
}

CNMessageBase NewRecord(int group, int type) {
  Node* empty = CNMessageFacility::EmptyNodeOf(group, type);
  return CNMessageFacility::Adopt(
      empty != nullptr ? empty
                       : CNMessageFacility::NewUnknownNode(group, type));
}

}  // namespace

CNMessageBase::CNMessageBase(int group, int type)
    : CNMessageBase(NewRecord(group, type)) {}

CNMessageBase::CNMessageBase(Node* node) : node_(node) {}

CNMessageBase::CNMessageBase(const CNMessageBase& other)
    : node_(CNMessageFacility::Share(other.node_)) {}

CNMessageBase& CNMessageBase::operator=(const CNMessageBase& other) {
  if (this != &other) {
    Node* shared = CNMessageFacility::Share(other.node_);
    CNMessageFacility::Release(node_);
    node_ = shared;
  }
  return *this;
}

CNMessageBase::~CNMessageBase() { CNMessageFacility::Release(node_); }

int CNMessageBase::Initialize() { return CNMessageFacility::StartResult(); }

int CNMessageBase::setstring(short index, short tag, const std::string& value,
                             unsigned long classHash, unsigned int fieldHash) {
  const FieldSchema& field =
      CheckedField(node_, classHash, index, tag, fieldHash, FieldKind::kText);
  // A text kept apart lies beside its node, where a walk reads it next,
  // unless the node may still grow where it lies: a record being built.
  const bool growing = !node_->Full() && CNMessageFacility::SoleOwner(node_);
  qzfacility::TextSlot text(
      value, growing ? qzfacility::Stream::kOwned : qzfacility::Stream::kNodes);
  reinterpret_cast<qzfacility::TextSlot*>(
      CNMessageFacility::SlotToWrite(*this, field))
      ->Swap(text);
  return 0;
}

int CNMessageBase::setint64(short index, short tag, long long value,
                            unsigned long classHash, unsigned int fieldHash) {
  const FieldSchema& field =
      CheckedField(node_, classHash, index, tag, fieldHash, FieldKind::kInt64);
  *reinterpret_cast<long long*>(CNMessageFacility::SlotToWrite(*this, field)) =
      value;
  return 0;
}

int CNMessageBase::setObjectAccessor(const void* child, short index, short tag,
                                     unsigned long classHash,
                                     unsigned int fieldHash) {
  const FieldSchema& field =
      CheckedField(node_, classHash, index, tag, fieldHash, FieldKind::kRecord);
  if (child == nullptr) Fail(node_, &field, "attached a null record");
  // Taken before this record changes: the child may live inside it.
  CNMessageBase copy(*static_cast<const CNMessageBase*>(child));
  CheckChildClass(node_, field, copy.group(), copy.type(), "attached record");
  CNMessageFacility::Swap(reinterpret_cast<RecordSlot*>(
                              CNMessageFacility::SlotToWrite(*this, field))
                              ->record,
                          copy);
  return 0;
}

int CNMessageBase::setlistobject(short index, short tag,
                                 const std::vector<CNMessageBase>* list,
                                 unsigned long classHash,
                                 unsigned int fieldHash) {
  const FieldSchema& field =
      CheckedField(node_, classHash, index, tag, fieldHash, FieldKind::kList);
  if (list == nullptr) Fail(node_, &field, "attached a null list");
  std::vector<CNMessageBase> copy =
      qzfacility::CopyElements(*list, [&](std::size_t i) {
        const Node* element = CNMessageFacility::NodeOf((*list)[i]);
        // A request's list holds a million elements: name one only when
        // wrong.
        if (element->Group() != field.childGroup ||
            element->Type() != field.childType) {
          FailChildClass(node_, field, element->Group(), element->Type(),
                         "list element " + std::to_string(i) + " is");
        }
      });
  ListSlot elements;
  elements.Swap(copy);
  reinterpret_cast<ListSlot*>(CNMessageFacility::SlotToWrite(*this, field))
      ->Swap(elements);
  return 0;
}

std::string CNMessageBase::getstring(short index, short tag,
                                     unsigned long classHash,
                                     unsigned int fieldHash) {
  const FieldSchema& field =
      CheckedField(node_, classHash, index, tag, fieldHash, FieldKind::kText);
  const unsigned char* slot = node_->Find(field);
  if (slot == nullptr) return std::string();
  return std::string(
      reinterpret_cast<const qzfacility::TextSlot*>(slot)->View());
}

long long CNMessageBase::getint64(short tag, unsigned long classHash,
                                  unsigned int fieldHash) const {
  const unsigned char* slot =
      node_->Find(CheckedInt64ByTag(node_, classHash, tag, fieldHash));
  return slot != nullptr ? *reinterpret_cast<const long long*>(slot) : 0;
}

bool CNMessageBase::isSet(short index, unsigned long classHash,
                          unsigned long fieldHash) const {
  const FieldSchema& field = FieldByIndex(node_, classHash, index, fieldHash);
  if ((node_->setMask & field.bit) != 0) return true;
  // A nested record or list written in place through its address counts as
  // set once it holds anything; only a full node has such slots.
  if (!node_->Full()) return false;
  const unsigned char* slot = node_->Slot(field);
  if (field.kind == FieldKind::kRecord) {
    return !CNMessageFacility::IsEmpty(CNMessageFacility::NodeOf(
        reinterpret_cast<const RecordSlot*>(slot)->record));
  }
  if (field.kind == FieldKind::kList) {
    return !reinterpret_cast<const ListSlot*>(slot)->Empty();
  }
  return false;
}

CNMessageBase** CNMessageBase::getObjectAccessor(
    bool, bool, short index, short tag, unsigned long classHash,
    unsigned int fieldHash, int childGroup, int childType) {
  const FieldSchema& field =
      CheckedField(node_, classHash, index, tag, fieldHash, FieldKind::kRecord);
  CheckChildClass(node_, field, childGroup, childType, "read as");
  return CNMessageFacility::MutableForAddress(*this)->AddressWord(field);
}

std::vector<CNMessageBase>** CNMessageBase::getlistobject(
    short index, short tag, unsigned long classHash, unsigned int fieldHash,
    bool) {
  const FieldSchema& field =
      CheckedField(node_, classHash, index, tag, fieldHash, FieldKind::kList);
  const bool shared = !CNMessageFacility::SoleOwner(node_);
  Node* node = CNMessageFacility::MutableForAddress(*this);
  auto* list = reinterpret_cast<ListSlot*>(node->Slot(field));
  // A list copied just now shares every element, and a caller that asks for
  // its address goes on to write into them, which would copy them one by
  // one: copying them in one pass lets their cold reads overlap.
  if (shared) list->OwnElements();
  return list->Address();
}

int CNMessageBase::group() const { return node_->Group(); }

int CNMessageBase::type() const { return node_->Type(); }
