// The XML form of records.
//
// A request carries up to a million client compositions, so the form is
// terse: one letter per element and attribute, hashes in hex, no
// indentation. A record is <r g="group" y="type">; each set field is an
// element carrying its index, tag and field hash (x, t, h):
//
//   <r g="8" y="8"><i x="1" t="1" h="685FD1">-7</i>
//   <s x="9" t="9" h="E64B8">a &amp; b</s><s ... enc="hex">00FF</s>
//   <r x="3" t="3" h="285FEB" g="18" y="15"/>
//   <l x="14" t="20" h="EE00DF"><r g="8" y="53">...</r></l></r>
//
// i is an int64, s a text, r a nested record (with its own class) and l a
// list of r elements. An unset field has no element; a field set to an
// empty record or list has an empty one. Texts that are UTF-8 made of
// characters XML allows are escaped character data; any other text (NUL,
// control characters, broken UTF-8) is hex with enc="hex", since XML cannot
// carry it.
//
// Reading trusts nothing: the document is checked against the facility's
// table field by field, and the record is built through the ordinary
// setters so that their identity checks apply as well. pugixml builds the
// tree without recursion; this reader recurses once per nested record and
// refuses documents nested deeper than kMaxDepth before it starts.
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

using qzfacility::ClassSchema;
using qzfacility::FieldKind;
using qzfacility::FieldSchema;
using qzfacility::ListSlot;
using qzfacility::RecordSlot;
using Node = CNMessageBase::Node;

namespace {

// Records of the installation nest six deep; anything far deeper is hostile.
constexpr int kMaxDepth = 32;

constexpr char kHexDigits[] = "0123456789ABCDEF";

// ---------------------------------------------------------------- texts

bool IsXmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// True when `text` is well-formed UTF-8 made only of characters XML allows.
bool IsXmlText(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = s + text.size();
  while (s < end) {
    const unsigned c = *s;
    if (c < 0x80) {
      if (c < 0x20 && c != 0x9 && c != 0xA && c != 0xD) return false;
      ++s;
      continue;
    }
    std::ptrdiff_t length;
    std::uint32_t code;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      code = c & 0x07;
    } else {
      return false;
    }
    if (end - s < length) return false;
    for (std::ptrdiff_t i = 1; i < length; ++i) {
      if ((s[i] & 0xC0) != 0x80) return false;
      code = code << 6 | (s[i] & 0x3F);
    }
    // Overlong forms and surrogates are not UTF-8.
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) ||
        !IsXmlChar(code)) {
      return false;
    }
    s += length;
  }
  return true;
}

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | code >> 12);
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | code >> 18);
    out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// A carriage return is written as a reference: a reader turns a raw one
// into a line feed.
void AppendEscaped(std::string& out, std::string_view text) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* replacement;
    switch (text[i]) {
      case '&':
        replacement = "&amp;";
        break;
      case '<':
        replacement = "&lt;";
        break;
      case '>':
        replacement = "&gt;";
        break;
      case '\r':
        replacement = "&#13;";
        break;
      default:
        continue;
    }
    out.append(text.data() + run, i - run);
    out += replacement;
    run = i + 1;
  }
  out.append(text.data() + run, text.size() - run);
}

void AppendHexText(std::string& out, std::string_view text) {
  for (unsigned char c : text) {
    out += kHexDigits[c >> 4];
    out += kHexDigits[c & 0xF];
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// ---------------------------------------------------------------- writing

void AppendDecimal(std::string& out, long long value) {
  char digits[24];
  const std::to_chars_result end =
      std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end.ptr);
}

void AppendHexNumber(std::string& out, unsigned long value) {
  char digits[16];
  char* start = digits + sizeof digits;
  do {
    *--start = kHexDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  out.append(start, digits + sizeof digits);
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

std::string ClassLabel(int group, int type) {
  std::string label =
      "(" + std::to_string(group) + ", " + std::to_string(type) + ")";
  const ClassSchema* schema = qzfacility::FindClass(group, type);
  return schema == nullptr ? "unknown class " + label
                           : schema->QualifiedName() + " " + label;
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

// ---------------------------------------------------------------- reading

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

std::string CNMessageFacility::ToXml(const CNMessageBase& record) {
  const Node* node = NodeOf(record);
  std::string out = "<r";
  AppendClass(out, node);
  WriteRecordBody(out, node, 1);
  return out;
}

CNMessageBase CNMessageFacility::FromXml(const std::string& xml) {
  return Reader(xml).Read();
}
