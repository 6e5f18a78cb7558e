// The message facility (libQzXMLMessagesBase): the base of every setup record.
//
// A record is created from a (group, type) pair and holds fields addressed by
// index, tag and field hash; each field holds a text, a 64-bit integer, one
// nested record or a list of records of one class. Every access also passes
// the class hash of the record that owns the field, and the facility checks
// the whole identity: a mismatch throws std::logic_error naming the record,
// the field and the wrong number.
//
// Records are values. Copying, assigning or attaching a record (as a nested
// record or inside a list) yields a deep, independent copy as far as any
// caller can observe; the facility shares unchanged storage internally, so
// copies are cheap. Distinct records may be used from distinct threads at the
// same time; one record is used by one thread at a time.
//
// Reading a field never changes what isSet reports: a record or list field
// that was never set reads as an empty record of the field's class or as an
// empty list. An int64 field that was never set reads as 0, a text as "".
// Writing through the address returned by getObjectAccessor or getlistobject
// changes the field in place, and the field then counts as set once it holds
// anything.
#ifndef QZ_HOST_MESSAGE_BASE_H_
#define QZ_HOST_MESSAGE_BASE_H_

#include <string>
#include <vector>

#include "host/platform_export.h"

class QZ_PLATFORM_API CNMessageBase {
 public:
  CNMessageBase(int group, int type);
  CNMessageBase(const CNMessageBase& other);
  CNMessageBase& operator=(const CNMessageBase& other);
  ~CNMessageBase();

  // Prepares the facility; 0 on success.
  static int Initialize();

  int setstring(short index, short tag, const std::string& value,
                unsigned long classHash, unsigned int fieldHash);
  int setint64(short index, short tag, long long value, unsigned long classHash,
               unsigned int fieldHash);
  // `child` points to a complete record of the field's class; a copy is kept.
  int setObjectAccessor(const void* child, short index, short tag,
                        unsigned long classHash, unsigned int fieldHash);
  // Every element must be a record of the field's element class.
  int setlistobject(short index, short tag,
                    const std::vector<CNMessageBase>* list,
                    unsigned long classHash, unsigned int fieldHash);

  std::string getstring(short index, short tag, unsigned long classHash,
                        unsigned int fieldHash);
  // Addressed by tag alone, as on the wire.
  long long getint64(short tag, unsigned long classHash,
                     unsigned int fieldHash) const;
  bool isSet(short index, unsigned long classHash,
             unsigned long fieldHash) const;

  // The returned addresses stay valid until this record is assigned to or
  // destroyed; copies of the record never see writes made through them.
  CNMessageBase** getObjectAccessor(bool, bool, short index, short tag,
                                    unsigned long classHash,
                                    unsigned int fieldHash, int childGroup,
                                    int childType);
  std::vector<CNMessageBase>** getlistobject(short index, short tag,
                                             unsigned long classHash,
                                             unsigned int fieldHash, bool);

  int group() const;
  int type() const;

  struct Node;  // the facility's storage; opaque to callers

 private:
  friend class CNMessageFacility;  // the facility's own storage and codec

  explicit CNMessageBase(Node* node);  // adopts one reference to `node`

  Node* node_;
};

#endif  // QZ_HOST_MESSAGE_BASE_H_
