// Writes records in their XML form (see xml_form.h).
#include <charconv>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "facility/message_facility.h"
#include "facility/schema.h"
#include "facility/storage.h"
#include "facility/xml_form.h"

using qzfacility::FieldKind;
using qzfacility::FieldSchema;
using qzfacility::ListSlot;
using qzfacility::RecordSlot;
using Node = CNMessageBase::Node;
using qzfacility::xml::AppendEscaped;
using qzfacility::xml::AppendHexNumber;
using qzfacility::xml::AppendHexText;
using qzfacility::xml::ClassLabel;
using qzfacility::xml::IsXmlText;
using qzfacility::xml::kMaxDepth;

namespace {

void AppendDecimal(std::string& out, long long value) {
  char digits[24];
  const std::to_chars_result end =
      std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end.ptr);
}

void AppendAttribute(std::string& out, const char* name, long long value) {
  out += name;
  AppendDecimal(out, value);
  out += '"';
}

// `<e x=".." t=".." h=".."`, left open for more attributes.
void OpenField(std::string& out, char element, const FieldSchema& field) {
  out += '<';
  out += element;
  AppendAttribute(out, " x=\"", field.index);
  AppendAttribute(out, " t=\"", field.tag);
  out += " h=\"";
  AppendHexNumber(out, field.hash);
  out += '"';
}

void AppendClass(std::string& out, const Node* node) {
  AppendAttribute(out, " g=\"", node->group);
  AppendAttribute(out, " y=\"", node->type);
}

void WriteRecord(std::string& out, const Node* node, int depth);

// Closes an open record tag: `/>` when it has no set field.
void WriteRecordBody(std::string& out, const Node* node, int depth) {
  out += '>';
  const std::size_t mark = out.size();
  WriteRecord(out, node, depth);
  if (out.size() == mark) {
    out.back() = '/';
    out += '>';
  } else {
    out += "</r>";
  }
}

// The set fields of a record whose element is `depth` levels deep, in index
// order. Set means what isSet says: a nested record or list filled in place
// counts once it holds anything.
void WriteRecord(std::string& out, const Node* node, int depth) {
  // Never write what the reader would refuse. A record of an unknown class
  // can end up in a list that was filled in place.
  if (node->schema == nullptr) {
    throw std::invalid_argument("CNMessageFacility::ToXml: record of " +
                                ClassLabel(node->group, node->type) +
                                " has no XML form");
  }
  if (depth >= kMaxDepth && !CNMessageFacility::IsEmpty(node)) {
    throw std::invalid_argument(
        "CNMessageFacility::ToXml: elements nested deeper than " +
        std::to_string(kMaxDepth) + " levels");
  }
  const std::vector<FieldSchema>& fields = node->schema->fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldSchema& field = fields[i];
    const bool marked = (node->setMask >> i & 1) != 0;
    const unsigned char* slot = node->Slot(field);
    switch (field.kind) {
      case FieldKind::kInt64:
        if (!marked) break;
        OpenField(out, 'i', field);
        out += '>';
        AppendDecimal(out, *reinterpret_cast<const long long*>(slot));
        out += "</i>";
        break;
      case FieldKind::kText: {
        if (!marked) break;
        const auto& text = *reinterpret_cast<const std::string*>(slot);
        OpenField(out, 's', field);
        if (text.empty()) {
          out += "/>";
        } else if (IsXmlText(text)) {
          out += '>';
          AppendEscaped(out, text);
          out += "</s>";
        } else {
          out += " enc=\"hex\">";
          AppendHexText(out, text);
          out += "</s>";
        }
        break;
      }
      case FieldKind::kRecord: {
        const Node* child = CNMessageFacility::NodeOf(
            reinterpret_cast<const RecordSlot*>(slot)->record);
        if (!marked && CNMessageFacility::IsEmpty(child)) break;
        OpenField(out, 'r', field);
        AppendClass(out, child);
        WriteRecordBody(out, child, depth + 1);
        break;
      }
      case FieldKind::kList: {
        const auto& list = reinterpret_cast<const ListSlot*>(slot)->list;
        if (!marked && list.empty()) break;
        OpenField(out, 'l', field);
        if (list.empty()) {
          out += "/>";
          break;
        }
        out += '>';
        for (const CNMessageBase& element : list) {
          const Node* child = CNMessageFacility::NodeOf(element);
          out += "<r";
          AppendClass(out, child);
          WriteRecordBody(out, child, depth + 2);
        }
        out += "</l>";
        break;
      }
    }
  }
}

}  // namespace

std::string CNMessageFacility::ToXml(const CNMessageBase& record) {
  const Node* node = NodeOf(record);
  std::string out = "<r";
  AppendClass(out, node);
  WriteRecordBody(out, node, 1);
  return out;
}
