#include <set>
#include <string>

#include "QZClientCreation.h"

namespace {

// Characters a client name may not hold, as the installation lists them:
// escaped, with repeats. The set below keeps each once.
const std::string sDisAllowedChars =
    "\\|`~!@#\\$%\\^&\\*\\+=<>\\?,\\[\\]\\(\\)\\{\\} :;'\"\t/\\\\";

const std::set<char> DisAllowedChars(sDisAllowedChars.begin(),
                                     sDisAllowedChars.end());

}  // namespace

void replaceSpecialChars(std::string& text, std::string replacement) {
  for (std::string::size_type i = 0; i < text.size(); ++i) {
    if (DisAllowedChars.count(text[i]) != 0) text[i] = replacement.at(0);
  }
}
