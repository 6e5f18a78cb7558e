#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "facility/message_facility.h"
#include "facility/storage.h"

using qzfacility::FieldKind;
using qzfacility::FieldSchema;
using qzfacility::ListSlot;
using qzfacility::RecordSlot;
using qzfacility::TextSlot;

namespace {

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

void RenderRecord(std::string& out, const CNMessageBase& record, int depth);

void Indent(std::string& out, int depth) {
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

void RenderFields(std::string& out, const CNMessageBase& record, int depth) {
  const CNMessageBase::Node* node = CNMessageFacility::NodeOf(record);
  const qzfacility::ClassSchema* schema = node->Schema();
  if (schema == nullptr) return;
  for (const FieldSchema& field : schema->fields) {
    if (!record.isSet(field.index, schema->classHash, field.hash)) {
      continue;
    }
    Indent(out, depth);
    out += field.name;
    out += ": ";
    const unsigned char* slot = node->Slot(field);
    switch (field.kind) {
      case FieldKind::kInt64:
        out += std::to_string(*reinterpret_cast<const long long*>(slot));
        out += '\n';
        break;
      case FieldKind::kText:
        AppendQuoted(out, reinterpret_cast<const TextSlot*>(slot)->View());
        out += '\n';
        break;
      case FieldKind::kRecord:
        RenderRecord(out, reinterpret_cast<const RecordSlot*>(slot)->record,
                     depth);
        break;
      case FieldKind::kList: {
        const auto& list = reinterpret_cast<const ListSlot*>(slot)->View();
        out += "[\n";
        for (const CNMessageBase& element : list) {
          Indent(out, depth + 1);
          RenderRecord(out, element, depth + 1);
        }
        Indent(out, depth);
        out += "]\n";
        break;
      }
    }
  }
}

void RenderRecord(std::string& out, const CNMessageBase& record, int depth) {
  const CNMessageBase::Node* node = CNMessageFacility::NodeOf(record);
  if (const qzfacility::ClassSchema* schema = node->Schema()) {
    out += schema->name;
  } else {
    out += "(" + std::to_string(node->Group()) + ", " +
           std::to_string(node->Type()) + ")";
  }
  out += " {\n";
  RenderFields(out, record, depth + 1);
  Indent(out, depth);
  out += "}\n";
}

}  // namespace

std::string CNMessageFacility::Render(const CNMessageBase& record) {
  std::string out;
  RenderRecord(out, record, 0);
  return out;
}
