// qzclients: pre-declares clients on the simulated installation's central
// server from the command line. 'qzclients --help' tells how.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "qzclients/cli.h"
#include "qzclients/commands.h"
#include "sim/qzsim.h"

namespace {

// The catalogue kept between runs: under the user's state directory.
std::string DefaultCatalogue() {
  namespace fs = std::filesystem;
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  fs::path directory;
  if (state != nullptr && *state == '/') {
    directory = fs::path(state) / "qzclients";
  } else if (home != nullptr && *home != '\0') {
    directory = fs::path(home) / ".local" / "state" / "qzclients";
  } else {
    throw std::runtime_error(
        "neither XDG_STATE_HOME nor HOME is set; give --catalogue PATH");
  }
  std::error_code error;
  fs::create_directories(directory, error);
  if (error) {
    throw std::runtime_error("cannot create " + directory.string() + ": " +
                             error.message());
  }
  return (directory / "catalogue.db").string();
}

int Run(const qzclients::Invocation& invocation) {
  using Command = qzclients::Invocation::Command;
  qzsim::openCatalogue(invocation.catalogue.empty() ? DefaultCatalogue()
                                                    : invocation.catalogue);
  switch (invocation.command) {
    case Command::kCreate:
      return qzclients::RunCreate(invocation.create, invocation.dryRun);
    case Command::kMapVms:
      return qzclients::RunMapVms(invocation.mapVms, invocation.dryRun);
    case Command::kList:
      return qzclients::RunList();
    case Command::kHelp:
      break;
  }
  return qzclients::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  qzclients::Invocation invocation;
  try {
    invocation =
        qzclients::Parse(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const qzclients::UsageError& e) {
    std::fprintf(stderr, "qzclients: %s\n\n%s", e.what(), e.usage().c_str());
    return qzclients::kExitUsage;
  }
  if (invocation.command == qzclients::Invocation::Command::kHelp) {
    std::fputs(invocation.helpText.c_str(), stdout);
    return qzclients::kExitOk;
  }
  try {
    return Run(invocation);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qzclients: %s\n", e.what());
    return qzclients::kExitRequestFailed;
  }
}
