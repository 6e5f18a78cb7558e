#include "qzclients/program.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "qzclients/cli.h"
#include "sim/qzsim.h"

namespace qzclients {
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

int Run(const Invocation& invocation, const Streams& streams) {
  using Command = Invocation::Command;
  qzsim::openCatalogue(invocation.catalogue.empty() ? DefaultCatalogue()
                                                    : invocation.catalogue);
  switch (invocation.command) {
    case Command::kCreate:
      return RunCreate(invocation.create, invocation.dryRun, streams);
    case Command::kMapVms:
      return RunMapVms(invocation.mapVms, invocation.dryRun, streams);
    case Command::kList:
      return RunList(streams);
    case Command::kHelp:
      break;
  }
  return kExitOk;
}

}  // namespace

int Main(const std::vector<std::string>& args, const Streams& streams) {
  Invocation invocation;
  try {
    invocation = Parse(args);
  } catch (const UsageError& e) {
    std::fprintf(streams.err, "qzclients: %s\n\n%s", e.what(),
                 e.usage().c_str());
    return kExitUsage;
  }
  if (invocation.command == Invocation::Command::kHelp) {
    std::fputs(invocation.helpText.c_str(), streams.out);
    return kExitOk;
  }
  try {
    return Run(invocation, streams);
  } catch (const std::exception& e) {
    std::fprintf(streams.err, "qzclients: %s\n", e.what());
    return kExitRequestFailed;
  }
}

}  // namespace qzclients
