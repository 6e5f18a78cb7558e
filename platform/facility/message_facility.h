// The facility's internals, for its own code and for the simulated
// installation: node management, the start result and a canonical text form
// of records used by tests and examples.
#ifndef QZ_PLATFORM_FACILITY_MESSAGE_FACILITY_H_
#define QZ_PLATFORM_FACILITY_MESSAGE_FACILITY_H_

#include <string>

#include "facility/schema.h"
#include "host/message_base.h"

class CNMessageFacility {
 public:
  using Node = CNMessageBase::Node;

  static Node* NodeOf(const CNMessageBase& record) { return record.node_; }

  // The record's node, made private to this handle first if it is shared.
  static Node* Mutable(CNMessageBase& record);

  // A new reference for another handle: shared, or a private copy when the
  // node may not be shared.
  static Node* Share(Node* node);
  static void Release(Node* node);

  // The shared empty node of a known class.
  static Node* EmptyNode(const qzfacility::ClassSchema& schema);
  // A new node of a class the facility does not know: it has no fields.
  static Node* NewUnknownNode(int group, int type);

  // True when no field holds anything, nested records included.
  static bool IsEmpty(const Node* node);

  static CNMessageBase Adopt(Node* node) { return CNMessageBase(node); }

  static void SetStartResult(int result);
  static int StartResult();

  // One text line per set field, nested records indented, fields in index
  // order; texts quoted with every byte outside printable ASCII escaped.
  static std::string Render(const CNMessageBase& record);

 private:
  static Node* Clone(const Node* source);
  static void Destroy(Node* node);
};

#endif  // QZ_PLATFORM_FACILITY_MESSAGE_FACILITY_H_
