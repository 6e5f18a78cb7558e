#include "display/indented_xml.h"

#include <string>
#include <string_view>

namespace display {

std::string IndentedXml(std::string_view xml) {
  std::string out;
  std::size_t depth = 0;
  const auto line = [&](std::string_view text) {
    out.append(2 * depth, ' ');
    out.append(text);
    out += '\n';
  };
  std::size_t at = 0;
  while (at < xml.size()) {
    const std::size_t open = xml.find('<', at);
    // Text between elements belongs to no leaf; it stays as it is.
    if (open != at) {
      out.append(xml.substr(at, open - at));
      if (open == std::string_view::npos) break;
    }
    const std::size_t close = xml.find('>', open);
    if (close == std::string_view::npos) {
      out.append(xml.substr(open));
      break;
    }
    const std::string_view tag = xml.substr(open, close + 1 - open);
    at = close + 1;
    if (tag[1] == '/') {
      if (depth > 0) --depth;
      line(tag);
      continue;
    }
    if (tag[tag.size() - 2] == '/' || tag[1] == '?' || tag[1] == '!') {
      line(tag);
      continue;
    }
    // A leaf: its text, then its own end tag.
    const std::size_t next = xml.find('<', at);
    if (next != std::string_view::npos && xml.substr(next, 2) == "</") {
      const std::size_t end = xml.find('>', next);
      if (end != std::string_view::npos) {
        line(xml.substr(open, end + 1 - open));
        at = end + 1;
        continue;
      }
    }
    line(tag);
    ++depth;
  }
  return out;
}

}  // namespace display
