// qzclients as a whole: parses the command line, opens the catalogue and
// runs the command, turning every failure into a message on `streams.err`
// and an exit code. main() is this and nothing else, so that tests can run
// the program in process.
#ifndef QZ_TOOLS_QZCLIENTS_PROGRAM_H_
#define QZ_TOOLS_QZCLIENTS_PROGRAM_H_

#include <cstdio>
#include <string>
#include <vector>

namespace qzclients {

struct Streams {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
};

// `args` without the program's name. What cannot be written to
// `streams.out`, flushed before returning, makes the exit code 74.
int Main(const std::vector<std::string>& args, const Streams& streams = {});

}  // namespace qzclients

#endif  // QZ_TOOLS_QZCLIENTS_PROGRAM_H_
