// Helpers shared by the test suites: canonical text forms of what the
// simulated installation captured, for comparing whole.
#ifndef QZ_TESTS_TEST_SUPPORT_H_
#define QZ_TESTS_TEST_SUPPORT_H_

#include <string>
#include <vector>

#include "sim/qzsim.h"

namespace qztest {

// One line per log line: kind, level for DebugLvl, tag, then the text
// between bars so that trailing blanks show.
inline std::string RenderLog(const std::vector<qzsim::LogLine>& lines) {
  static const char* const kKinds[] = {"Debug", "DebugLvl", "Error", "debug"};
  std::string out;
  for (const qzsim::LogLine& line : lines) {
    out += kKinds[line.kind];
    if (line.kind == qzsim::LogLine::DebugLvl)
      out += "(" + std::to_string(line.level) + ")";
    if (!line.tag.empty()) out += " " + line.tag;
    out += " |" + line.text + "|\n";
  }
  return out;
}

inline std::string RenderLog() { return RenderLog(qzsim::logLines()); }

// One journal entry per line.
inline std::string RenderCalls() {
  std::string out;
  for (const std::string& call : qzsim::catalogueCalls()) out += call + "\n";
  return out;
}

}  // namespace qztest

#endif  // QZ_TESTS_TEST_SUPPORT_H_
