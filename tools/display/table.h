// Text laid out in columns on a terminal, measured in the columns it takes
// there rather than in bytes, so that UTF-8 names line up.
#ifndef QZ_TOOLS_DISPLAY_TABLE_H_
#define QZ_TOOLS_DISPLAY_TABLE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace display {

// The columns `text` takes: two for an East Asian wide or fullwidth
// character, none for a combining mark, one for any other character and
// for each byte that is not part of well-formed UTF-8.
std::size_t Width(std::string_view text);

// `text` whole when it takes at most `maxWidth` columns, else its longest
// beginning that fits with "…" after it. A character is never split.
std::string Cut(std::string_view text, std::size_t maxWidth);

// Rows under a heading line, each column as wide as its widest cell and
// two blanks apart; no line ends in blanks.
class Table {
 public:
  struct Column {
    std::string heading;
    std::size_t maxWidth = 0;  // cells beyond it are cut; 0: no limit
  };

  explicit Table(std::vector<Column> columns);
  // `cells` holds one text per column.
  void Add(std::vector<std::string> cells);
  // The lines, each ending in a newline.
  std::string Render() const;

 private:
  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace display

#endif  // QZ_TOOLS_DISPLAY_TABLE_H_
