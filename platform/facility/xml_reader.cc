// Reads records from their XML form (see xml_form.h). Reading trusts
// nothing: the document is checked against the facility's table field by
// field, and the record is built through the ordinary setters so that their
// identity checks apply as well. pugixml builds the tree without recursion;
// this reader recurses once per nested record and refuses documents nested
// deeper than kMaxDepth before it starts.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <pugixml.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "facility/message_facility.h"
#include "facility/schema.h"
#include "facility/storage.h"
#include "facility/xml_form.h"

using qzfacility::ClassSchema;
using qzfacility::FieldKind;
using qzfacility::FieldSchema;
using Node = CNMessageBase::Node;
using qzfacility::xml::AppendHexNumber;
using qzfacility::xml::AppendUtf8;
using qzfacility::xml::ClassLabel;
using qzfacility::xml::HexValue;
using qzfacility::xml::IsXmlChar;
using qzfacility::xml::IsXmlText;
using qzfacility::xml::kHexDigits;
using qzfacility::xml::kMaxDepth;

namespace {

std::string HexLabel(unsigned long value) {
  std::string text;
  AppendHexNumber(text, value);
  return text;
}

// Quoted for a message, cut short so that a huge value cannot flood it.
std::string Quoted(std::string_view value) {
  constexpr std::size_t kShown = 40;
  std::string out = "\"";
  for (unsigned char c : value.substr(0, kShown)) {
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += value.size() > kShown ? "\"..." : "\"";
  return out;
}

enum Attribute : unsigned {
  kIndex = 1u << 0,
  kTag = 1u << 1,
  kHash = 1u << 2,
  kGroup = 1u << 3,
  kType = 1u << 4,
  kEncoding = 1u << 5,
};

struct Attributes {
  const char* index = nullptr;
  const char* tag = nullptr;
  const char* hash = nullptr;
  const char* group = nullptr;
  const char* type = nullptr;
  const char* encoding = nullptr;
};

class Reader {
 public:
  explicit Reader(const std::string& xml) : xml_(xml) {}

  CNMessageBase Read() {
    if (const void* nul = std::memchr(xml_.data(), '\0', xml_.size())) {
      FailAt(static_cast<const char*>(nul) - xml_.data(), "NUL byte in XML");
    }
    // Entities are resolved here rather than by pugixml, which would cut a
    // text short at &#0; and lets through characters XML forbids. Parsed as
    // a fragment so that text around the root is kept and can be refused;
    // pugixml otherwise drops it silently.
    constexpr unsigned kOptions = pugi::parse_cdata | pugi::parse_eol |
                                  pugi::parse_wconv_attribute |
                                  pugi::parse_ws_pcdata | pugi::parse_fragment;
    const pugi::xml_parse_result parsed = document_.load_buffer(
        xml_.data(), xml_.size(), kOptions, pugi::encoding_utf8);
    if (!parsed) {
      // pugixml places a cut-short document's error on its last byte.
      const bool atEnd =
          parsed.offset + 1 >= static_cast<std::ptrdiff_t>(xml_.size());
      FailAt(parsed.offset, std::string("not well-formed XML: ") +
                                parsed.description() +
                                (atEnd ? " at the end of the input" : ""));
    }
    CheckDepth();
    const pugi::xml_node root = Root();
    Attributes attributes;
    ReadAttributes(root, kGroup | kType, 0, attributes);
    const int group = Decimal(root, "g", attributes.group);
    const int type = Decimal(root, "y", attributes.type);
    const ClassSchema* schema = qzfacility::FindClass(group, type);
    if (schema == nullptr) {
      Fail(root, "no record class (" + std::to_string(group) + ", " +
                     std::to_string(type) + ")");
    }
    frames_.push_back({schema, nullptr, -1});
    return ReadRecord(root, *schema, 1);
  }

 private:
  // Where the reader is, for messages: the root, then a field per level.
  struct Frame {
    const ClassSchema* schema;
    const FieldSchema* field;  // of the parent that holds this record
    std::ptrdiff_t element;    // position within a list, or -1
  };

  [[noreturn]] void FailAt(std::ptrdiff_t offset, const std::string& what) {
    std::string message = "XML record: ";
    for (const Frame& frame : frames_) {
      if (frame.field == nullptr) {
        message += frame.schema->QualifiedName();
      } else {
        message += '.';
        message += frame.field->name;
      }
      if (frame.element >= 0) {
        message += "[" + std::to_string(frame.element) + "]";
      }
    }
    if (!frames_.empty()) message += ": ";
    message += what;
    if (offset >= 0) {
      const std::size_t end =
          std::min(static_cast<std::size_t>(offset), xml_.size());
      std::size_t line = 1;
      std::size_t lineStart = 0;
      for (std::size_t i = 0; i < end; ++i) {
        if (xml_[i] == '\n') {
          ++line;
          lineStart = i + 1;
        }
      }
      message += " (line " + std::to_string(line) + ", column " +
                 std::to_string(end - lineStart + 1) + ")";
    }
    throw std::runtime_error(message);
  }

  // An element's offset is that of its name; the tag starts one before.
  [[noreturn]] void Fail(pugi::xml_node where, const std::string& what) {
    std::ptrdiff_t offset = where.offset_debug();
    if (offset > 0 && where.type() == pugi::node_element) --offset;
    FailAt(offset, what);
  }

  [[noreturn]] void FailField(pugi::xml_node where, const FieldSchema& field,
                              const std::string& what) {
    Fail(where, std::string("field ") + field.name + ": " + what);
  }

  // Walks the whole tree without recursion, so that the recursive reader
  // below never goes deeper than kMaxDepth.
  void CheckDepth() {
    int depth = 0;
    pugi::xml_node node = document_.first_child();
    if (node) depth = 1;
    while (node) {
      if (depth > kMaxDepth && node.type() == pugi::node_element) {
        Fail(node, "elements nested deeper than " + std::to_string(kMaxDepth) +
                       " levels");
      }
      if (pugi::xml_node child = node.first_child()) {
        node = child;
        ++depth;
        continue;
      }
      while (node && !node.next_sibling()) {
        node = node.parent();
        --depth;
      }
      if (node) node = node.next_sibling();
    }
  }

  pugi::xml_node Root() {
    pugi::xml_node root;
    for (pugi::xml_node node : document_.children()) {
      if (node.type() == pugi::node_element) {
        if (root) Fail(node, "more than one root element");
        root = node;
      } else if (IsText(node) && !IsBlank(node.value())) {
        Fail(node, "text outside the root element");
      }
    }
    if (!root) FailAt(-1, "no root element");
    if (std::strcmp(root.name(), "r") != 0) {
      Fail(root,
           "root element <" + std::string(root.name()) + ">, expected <r>");
    }
    return root;
  }

  static bool IsText(pugi::xml_node node) {
    return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
  }

  static bool IsBlank(const char* text) {
    for (; *text != '\0'; ++text) {
      if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r') {
        return false;
      }
    }
    return true;
  }

  // Fills `out` with the attributes in `required` and `optional`; any other
  // attribute, or one given twice, is an error.
  void ReadAttributes(pugi::xml_node element, unsigned required,
                      unsigned optional, Attributes& out) {
    unsigned seen = 0;
    for (pugi::xml_attribute attribute : element.attributes()) {
      const char* name = attribute.name();
      unsigned bit = 0;
      const char** slot = nullptr;
      if (name[0] != '\0' && name[1] == '\0') {
        switch (name[0]) {
          case 'x':
            bit = kIndex;
            slot = &out.index;
            break;
          case 't':
            bit = kTag;
            slot = &out.tag;
            break;
          case 'h':
            bit = kHash;
            slot = &out.hash;
            break;
          case 'g':
            bit = kGroup;
            slot = &out.group;
            break;
          case 'y':
            bit = kType;
            slot = &out.type;
            break;
          default:
            break;
        }
      } else if (std::strcmp(name, "enc") == 0) {
        bit = kEncoding;
        slot = &out.encoding;
      }
      if ((bit & (required | optional)) == 0) {
        Fail(element, "<" + std::string(element.name()) +
                          "> has unexpected attribute " + Quoted(name));
      }
      if ((seen & bit) != 0) {
        Fail(element, "<" + std::string(element.name()) + "> has attribute " +
                          name + " twice");
      }
      seen |= bit;
      *slot = attribute.value();
    }
    if ((seen & required) != required) {
      static const char* const kNames[] = {"x", "t", "h", "g", "y", "enc"};
      for (unsigned i = 0; i < 6; ++i) {
        if ((required & ~seen & 1u << i) != 0) {
          Fail(element, "<" + std::string(element.name()) +
                            "> lacks attribute " + kNames[i]);
        }
      }
    }
  }

  int Decimal(pugi::xml_node element, const char* name, const char* text) {
    const std::size_t length = std::strlen(text);
    int value = 0;
    const std::from_chars_result result =
        std::from_chars(text, text + length, value);
    if (length == 0 || result.ec != std::errc() ||
        result.ptr != text + length) {
      Fail(element, std::string("attribute ") + name + "=" + Quoted(text) +
                        " is not a number in range");
    }
    return value;
  }

  unsigned long Hex(pugi::xml_node element, const char* text) {
    const std::size_t length = std::strlen(text);
    unsigned int value = 0;
    const std::from_chars_result result =
        std::from_chars(text, text + length, value, 16);
    if (length == 0 || result.ec != std::errc() ||
        result.ptr != text + length) {
      Fail(element,
           "attribute h=" + Quoted(text) + " is not a hex number in range");
    }
    return value;
  }

  // The character data of a leaf element; markup inside it is an error.
  std::string_view LeafText(pugi::xml_node element, const FieldSchema& field) {
    pugi::xml_node child = element.first_child();
    if (!child) return {};
    if (child.type() != pugi::node_pcdata || child.next_sibling()) {
      FailField(element, field,
                "markup inside <" + std::string(element.name()) + ">");
    }
    return child.value();
  }

  // Resolves the references of character data; only the five predefined
  // entities and references to characters XML allows exist here.
  void AppendResolved(std::string& out, pugi::xml_node where,
                      const FieldSchema& field, std::string_view raw) {
    std::size_t run = 0;
    for (std::size_t i = raw.find('&'); i != std::string_view::npos;
         i = raw.find('&', run)) {
      out.append(raw.data() + run, i - run);
      const std::size_t semicolon = raw.find(';', i);
      constexpr std::size_t kLongest = 12;  // "&#x0010FFFF;"
      if (semicolon == std::string_view::npos || semicolon - i > kLongest) {
        FailField(where, field,
                  "unterminated or overlong reference " +
                      Quoted(raw.substr(i, kLongest)));
      }
      const std::string_view name = raw.substr(i + 1, semicolon - i - 1);
      if (name == "lt") {
        out += '<';
      } else if (name == "gt") {
        out += '>';
      } else if (name == "amp") {
        out += '&';
      } else if (name == "quot") {
        out += '"';
      } else if (name == "apos") {
        out += '\'';
      } else {
        std::uint32_t code = 0;
        bool ok = name.size() > 1 && name[0] == '#';
        if (ok) {
          const bool hex = name[1] == 'x';
          const char* first = name.data() + (hex ? 2 : 1);
          const char* last = name.data() + name.size();
          const std::from_chars_result result =
              std::from_chars(first, last, code, hex ? 16 : 10);
          ok = first != last && result.ec == std::errc() &&
               result.ptr == last && IsXmlChar(code);
        }
        if (!ok) {
          FailField(where, field,
                    "reference " + Quoted(raw.substr(i, semicolon - i + 1)) +
                        " is not an entity or a character XML allows");
        }
        AppendUtf8(out, code);
      }
      run = semicolon + 1;
    }
    out.append(raw.data() + run, raw.size() - run);
  }

  std::string Text(pugi::xml_node element, const FieldSchema& field,
                   const char* encoding) {
    std::string text;
    if (encoding != nullptr) {
      if (std::strcmp(encoding, "hex") != 0) {
        FailField(element, field, "unknown encoding " + Quoted(encoding));
      }
      const std::string_view digits = LeafText(element, field);
      if (digits.size() % 2 != 0) {
        FailField(element, field, "odd number of hex digits");
      }
      text.resize(digits.size() / 2);
      for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = HexValue(digits[2 * i]);
        const int low = HexValue(digits[2 * i + 1]);
        if (high < 0 || low < 0) {
          FailField(element, field,
                    "bad hex digits " + Quoted(digits.substr(2 * i, 2)));
        }
        text[i] = static_cast<char>(high << 4 | low);
      }
      return text;
    }
    for (pugi::xml_node child : element.children()) {
      if (child.type() == pugi::node_pcdata) {
        AppendResolved(text, element, field, child.value());
      } else if (child.type() == pugi::node_cdata) {
        text += child.value();
      } else {
        FailField(element, field, "markup inside <s>");
      }
    }
    if (!IsXmlText(text)) {
      FailField(element, field,
                "text is not UTF-8 or holds a character XML forbids");
    }
    return text;
  }

  long long Int64(pugi::xml_node element, const FieldSchema& field) {
    const std::string_view text = LeafText(element, field);
    long long value = 0;
    const std::from_chars_result result =
        std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
      FailField(element, field,
                Quoted(text) + " is out of the 64-bit integer range");
    }
    if (text.empty() || result.ec != std::errc() ||
        result.ptr != text.data() + text.size()) {
      FailField(element, field, Quoted(text) + " is not a 64-bit integer");
    }
    return value;
  }

  // The class a nested record element declares, which must be `expected`.
  void CheckClass(pugi::xml_node element, const Attributes& attributes,
                  const FieldSchema& field, const std::string& what) {
    const int group = Decimal(element, "g", attributes.group);
    const int type = Decimal(element, "y", attributes.type);
    if (group != field.childGroup || type != field.childType) {
      FailField(element, field,
                what + " is of " + ClassLabel(group, type) + ", expected " +
                    ClassLabel(field.childGroup, field.childType));
    }
  }

  CNMessageBase Nested(pugi::xml_node element, const FieldSchema& field,
                       std::ptrdiff_t position, int depth) {
    const ClassSchema& schema =
        *qzfacility::FindClass(field.childGroup, field.childType);
    frames_.push_back({&schema, &field, position});
    CNMessageBase record = ReadRecord(element, schema, depth + 1);
    frames_.pop_back();
    return record;
  }

  CNMessageBase ReadRecord(pugi::xml_node element, const ClassSchema& schema,
                           int depth) {
    CNMessageBase record(schema.group, schema.type);
    std::uint64_t given = 0;
    for (pugi::xml_node child : element.children()) {
      if (child.type() == pugi::node_element) {
        ReadField(record, schema, child, given, depth);
      } else if (IsText(child) && !IsBlank(child.value())) {
        Fail(child, "text " + Quoted(child.value()) + " inside a record");
      }
    }
    return record;
  }

  void ReadField(CNMessageBase& record, const ClassSchema& schema,
                 pugi::xml_node element, std::uint64_t& given, int depth) {
    const char* name = element.name();
    FieldKind kind;
    if (std::strcmp(name, "i") == 0) {
      kind = FieldKind::kInt64;
    } else if (std::strcmp(name, "s") == 0) {
      kind = FieldKind::kText;
    } else if (std::strcmp(name, "r") == 0) {
      kind = FieldKind::kRecord;
    } else if (std::strcmp(name, "l") == 0) {
      kind = FieldKind::kList;
    } else {
      Fail(element, "unexpected element <" + std::string(name) + ">");
    }
    Attributes attributes;
    ReadAttributes(element,
                   kIndex | kTag | kHash |
                       (kind == FieldKind::kRecord ? kGroup | kType : 0u),
                   kind == FieldKind::kText ? kEncoding : 0u, attributes);

    const int index = Decimal(element, "x", attributes.index);
    const FieldSchema* field = schema.FieldByIndex(index);
    if (field == nullptr) {
      Fail(element, schema.QualifiedName() + " has no field with index " +
                        std::to_string(index));
    }
    const int tag = Decimal(element, "t", attributes.tag);
    if (tag != field->tag) {
      FailField(element, *field,
                "tag " + std::to_string(tag) + ", expected " +
                    std::to_string(field->tag));
    }
    const unsigned long hash = Hex(element, attributes.hash);
    if (hash != field->hash) {
      FailField(element, *field,
                "field hash " + HexLabel(hash) + ", expected " +
                    HexLabel(field->hash));
    }
    if (kind != field->kind) {
      FailField(element, *field,
                std::string("a ") + qzfacility::KindName(field->kind) +
                    " field given as <" + name + ">");
    }
    const std::uint64_t bit = std::uint64_t{1}
                              << (field - schema.fields.data());
    if ((given & bit) != 0) FailField(element, *field, "given twice");
    given |= bit;

    switch (kind) {
      case FieldKind::kInt64:
        record.setint64(field->index, field->tag, Int64(element, *field),
                        schema.classHash, field->hash);
        break;
      case FieldKind::kText:
        record.setstring(field->index, field->tag,
                         Text(element, *field, attributes.encoding),
                         schema.classHash, field->hash);
        break;
      case FieldKind::kRecord: {
        CheckClass(element, attributes, *field, "record");
        const CNMessageBase child = Nested(element, *field, -1, depth);
        record.setObjectAccessor(&child, field->index, field->tag,
                                 schema.classHash, field->hash);
        break;
      }
      case FieldKind::kList: {
        std::vector<CNMessageBase> list;
        for (pugi::xml_node item : element.children()) {
          if (item.type() != pugi::node_element) {
            if (IsText(item) && !IsBlank(item.value())) {
              FailField(item, *field, "text inside a list");
            }
            continue;
          }
          const std::ptrdiff_t position =
              static_cast<std::ptrdiff_t>(list.size());
          if (std::strcmp(item.name(), "r") != 0) {
            FailField(item, *field,
                      "list element " + std::to_string(position) + " is <" +
                          item.name() + ">, expected <r>");
          }
          Attributes itemAttributes;
          ReadAttributes(item, kGroup | kType, 0, itemAttributes);
          CheckClass(item, itemAttributes, *field,
                     "list element " + std::to_string(position));
          list.push_back(Nested(item, *field, position, depth));
        }
        record.setlistobject(field->index, field->tag, &list, schema.classHash,
                             field->hash);
        break;
      }
    }
  }

  const std::string& xml_;
  pugi::xml_document document_;
  std::vector<Frame> frames_;
};

}  // namespace

CNMessageBase CNMessageFacility::FromXml(const std::string& xml) {
  return Reader(xml).Read();
}
