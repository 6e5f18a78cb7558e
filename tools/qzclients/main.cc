// qzclients: pre-declares clients on the simulated installation's central
// server from the command line. 'qzclients --help' tells how.
#include <string>
#include <vector>

#include "qzclients/program.h"

int main(int argc, char** argv) {
  return qzclients::Main(std::vector<std::string>(argv + 1, argv + argc));
}
