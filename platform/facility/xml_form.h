// The XML form of records: the pieces its writer and its reader share.
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
#ifndef QZ_PLATFORM_FACILITY_XML_FORM_H_
#define QZ_PLATFORM_FACILITY_XML_FORM_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace qzfacility::xml {

// Records of the installation nest six deep; anything far deeper is hostile.
constexpr int kMaxDepth = 32;

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Printable ASCII or a line character (tab, line feed, carriage return): a
// byte that goes as character data without a closer look.
constexpr bool IsPlainByte(int c) {
  return (c >= 0x20 && c < 0x80) || c == '\t' || c == '\n' || c == '\r';
}

// A character XML 1.0 allows.
bool IsXmlChar(std::uint32_t c);
// UTF-8 made only of characters XML allows, so it can go as character data.
bool IsXmlText(std::string_view text);

void AppendUtf8(std::string& out, std::uint32_t code);
// 0 to 15 for a hex digit of either case, else -1. Inline: the reader
// calls it for every digit of every field hash.
constexpr int HexValue(char c) {
  return c >= '0' && c <= '9'   ? c - '0'
         : c >= 'A' && c <= 'F' ? c - 'A' + 10
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                : -1;
}
void AppendHexNumber(std::string& out, unsigned long value);

// "Namespace::Class (group, type)", or "unknown class (group, type)".
std::string ClassLabel(int group, int type);

}  // namespace qzfacility::xml

#endif  // QZ_PLATFORM_FACILITY_XML_FORM_H_
