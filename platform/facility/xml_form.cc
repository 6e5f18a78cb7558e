#include "facility/xml_form.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "facility/schema.h"

namespace qzfacility::xml {

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

void AppendHexNumber(std::string& out, unsigned long value) {
  char digits[16];
  char* start = digits + sizeof digits;
  do {
    *--start = kHexDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  out.append(start, digits + sizeof digits);
}

std::string ClassLabel(int group, int type) {
  std::string label =
      "(" + std::to_string(group) + ", " + std::to_string(type) + ")";
  const ClassSchema* schema = qzfacility::FindClass(group, type);
  return schema == nullptr ? "unknown class " + label
                           : schema->QualifiedName() + " " + label;
}

}  // namespace qzfacility::xml
