// Texts shown to a person: quoted as C would quote them, so that blanks,
// tabs and other control bytes stay visible. Bytes from 0x80 up pass
// through, so UTF-8 names read as they are.
#ifndef QZ_TOOLS_DISPLAY_QUOTED_H_
#define QZ_TOOLS_DISPLAY_QUOTED_H_

#include <cstdio>
#include <string>

namespace display {

inline std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      quoted += escaped;
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + "\"";
}

}  // namespace display

#endif  // QZ_TOOLS_DISPLAY_QUOTED_H_
