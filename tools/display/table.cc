#include "display/table.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace display {
namespace {

constexpr std::string_view kEllipsis = "\u2026";

struct Range {
  std::uint32_t first, last;
};

// Enough of Unicode's East Asian Width and combining classes for names:
// the blocks a terminal draws two columns wide or not at all.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},
    {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
    {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
    {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};

template <std::size_t N>
bool In(const Range (&ranges)[N], std::uint32_t code) {
  return std::any_of(ranges, ranges + N, [code](const Range& range) {
    return code >= range.first && code <= range.last;
  });
}

// The character at `text[at]`: its length in bytes and its columns. A
// byte that does not start well-formed UTF-8 stands alone.
std::pair<std::size_t, std::size_t> CharacterAt(std::string_view text,
                                                std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead < 0xC2   ? 1
                             : lead < 0xE0 ? 2
                             : lead < 0xF0 ? 3
                             : lead < 0xF5 ? 4
                                           : 1;
  if (length == 1 || at + length > text.size()) return {1, 1};
  std::uint32_t code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return {1, 1};
    code = code << 6 | (next & 0x3F);
  }
  return {length, In(kWide, code) ? 2 : In(kZeroWidth, code) ? 0 : 1};
}

}  // namespace

std::size_t Width(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t at = 0; at < text.size();) {
    const auto [length, columns] = CharacterAt(text, at);
    at += length;
    width += columns;
  }
  return width;
}

std::string Cut(std::string_view text, std::size_t maxWidth) {
  if (Width(text) <= maxWidth) return std::string(text);
  if (maxWidth == 0) return std::string();
  std::size_t width = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    const auto [length, columns] = CharacterAt(text, at);
    if (width + columns > maxWidth - 1) break;
    at += length;
    width += columns;
  }
  return std::string(text.substr(0, at)) + std::string(kEllipsis);
}

Table::Table(std::vector<Column> columns) : columns_(std::move(columns)) {}

void Table::Add(std::vector<std::string> cells) {
  cells.resize(columns_.size());
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (columns_[i].maxWidth != 0) {
      cells[i] = Cut(cells[i], columns_[i].maxWidth);
    }
  }
  rows_.push_back(std::move(cells));
}

std::string Table::Render() const {
  std::vector<std::size_t> widths;
  for (const Column& column : columns_) {
    widths.push_back(Width(column.heading));
  }
  for (const auto& row : rows_) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      widths[i] = std::max(widths[i], Width(row[i]));
    }
  }
  std::string out;
  const auto line = [&](const auto& cellOf) {
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      const std::string& cell = cellOf(i);
      out += cell;
      if (i + 1 < columns_.size()) {
        out.append(widths[i] - Width(cell) + 2, ' ');
      }
    }
    // Padding before an empty last cell would trail the line.
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += '\n';
  };
  line(
      [&](std::size_t i) -> const std::string& { return columns_[i].heading; });
  for (const auto& row : rows_) {
    line([&](std::size_t i) -> const std::string& { return row[i]; });
  }
  return out;
}

}  // namespace display
