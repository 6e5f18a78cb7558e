#include <array>
#include <string>
#include <string_view>

#include "QZClientCreation.h"

namespace {

// Characters a client name may not hold, as the installation lists them:
// escaped, with repeats.
constexpr std::string_view kDisAllowedChars =
    "\\|`~!@#\\$%\\^&\\*\\+=<>\\?,\\[\\]\\(\\)\\{\\} :;'\"\t/\\\\";

// Every name of a discovery run passes through here, so the test is one
// load per character.
constexpr std::array<bool, 256> DisAllowedTable() {
  std::array<bool, 256> table{};
  for (const char c : kDisAllowedChars) {
    table[static_cast<unsigned char>(c)] = true;
  }
  return table;
}

constexpr std::array<bool, 256> kDisAllowed = DisAllowedTable();

}  // namespace

void replaceSpecialChars(std::string& text, std::string replacement) {
  for (char& c : text) {
    if (kDisAllowed[static_cast<unsigned char>(c)]) c = replacement.at(0);
  }
}
