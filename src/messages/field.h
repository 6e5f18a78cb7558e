// Typed field identities and the accessors that use them.
//
// Each record class names its fields once, as constants of the kinds below;
// call sites pass those constants and never bare numbers. The owner (and for
// nested records and lists the child) class is part of the constant's type,
// so the class hash and the child's (group, type) come with it.
#ifndef QZ_MESSAGES_FIELD_H_
#define QZ_MESSAGES_FIELD_H_

#include <string>
#include <vector>

#include "host/message_base.h"

namespace qzmsg {

template <class Owner>
struct Int64Field {
  using OwnerType = Owner;
  short index;
  short tag;
  unsigned int hash;
};

template <class Owner>
struct TextField {
  using OwnerType = Owner;
  short index;
  short tag;
  unsigned int hash;
};

template <class Owner, class Child>
struct RecordField {
  using OwnerType = Owner;
  short index;
  short tag;
  unsigned int hash;
};

template <class Owner, class Element>
struct ListField {
  using OwnerType = Owner;
  short index;
  short tag;
  unsigned int hash;
};

template <class Owner>
void Set(CNMessageBase& record, Int64Field<Owner> field, long long value) {
  record.setint64(field.index, field.tag, value, Owner::kClassHash, field.hash);
}

template <class Owner>
void Set(CNMessageBase& record, TextField<Owner> field,
         const std::string& value) {
  record.setstring(field.index, field.tag, value, Owner::kClassHash,
                   field.hash);
}

template <class Owner, class Child>
void Set(CNMessageBase& record, RecordField<Owner, Child> field,
         const CNMessageBase& child) {
  record.setObjectAccessor(&child, field.index, field.tag, Owner::kClassHash,
                           field.hash);
}

template <class Owner, class Element>
void Set(CNMessageBase& record, ListField<Owner, Element> field,
         const std::vector<CNMessageBase>& list) {
  record.setlistobject(field.index, field.tag, &list, Owner::kClassHash,
                       field.hash);
}

// The int64 reader addresses the field by its tag, as the wire does.
template <class Owner>
long long Get(const CNMessageBase& record, Int64Field<Owner> field) {
  return record.getint64(field.tag, Owner::kClassHash, field.hash);
}

template <class Owner>
std::string Get(CNMessageBase& record, TextField<Owner> field) {
  return record.getstring(field.index, field.tag, Owner::kClassHash,
                          field.hash);
}

// The nested record; an empty one of the child class when never set.
template <class Owner, class Child>
CNMessageBase& Get(CNMessageBase& record, RecordField<Owner, Child> field) {
  return **record.getObjectAccessor(true, false, field.index, field.tag,
                                    Owner::kClassHash, field.hash,
                                    Child::kGroup, Child::kType);
}

// The list; an empty one when never set.
template <class Owner, class Element>
std::vector<CNMessageBase>& Get(CNMessageBase& record,
                                ListField<Owner, Element> field) {
  return **record.getlistobject(field.index, field.tag, Owner::kClassHash,
                                field.hash, false);
}

template <class Field>
bool IsSet(const CNMessageBase& record, Field field) {
  return record.isSet(field.index, Field::OwnerType::kClassHash, field.hash);
}

}  // namespace qzmsg

#endif  // QZ_MESSAGES_FIELD_H_
