#include "qzclients/program.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "qzclients/cli.h"
#include "qzclients/commands.h"
#include "qzclients/report.h"
#include "sim/qzsim.h"

namespace qzclients {
namespace {

constexpr const char kVersionText[] =
    "qzclients " QZCC_VERSION "\nlibQZClientCreation " QZCC_VERSION "\n";

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
    throw Failure(kExitCannotCreate,
                  "neither XDG_STATE_HOME nor HOME is set; give --catalogue "
                  "PATH");
  }
  std::error_code error;
  fs::create_directories(directory, error);
  if (error) {
    throw Failure(kExitCannotCreate, "cannot create " + directory.string() +
                                         ": " + error.message());
  }
  return (directory / "catalogue.db").string();
}

// A dry run writes nothing, so it works on a catalogue of its own.
void OpenCatalogue(const Invocation& invocation) {
  const std::string path = invocation.dryRun ? ":memory:"
                           : invocation.catalogue.empty()
                               ? DefaultCatalogue()
                               : invocation.catalogue;
  try {
    qzsim::openCatalogue(path);
  } catch (const std::exception& e) {
    throw Failure(ExitCodeOfCatalogueError(e, true), e.what());
  }
}

Result Run(const Invocation& invocation) {
  OpenCatalogue(invocation);
  switch (invocation.command) {
    case Invocation::Command::kCreate:
      return RunCreate(invocation.create, invocation.dryRun);
    case Invocation::Command::kMapVms:
      return RunMapVms(invocation.mapVms, invocation.dryRun);
    default:
      return RunList();
  }
}

const char* NameOf(Invocation::Command command) {
  switch (command) {
    case Invocation::Command::kCreate:
      return "create";
    case Invocation::Command::kMapVms:
      return "map-vms";
    default:
      return "list";
  }
}

void Tell(const Result& result, std::FILE* err) {
  for (const std::string& note : result.notes) {
    std::fprintf(err, "qzclients: %s\n", note.c_str());
  }
  if (result.error.empty()) return;
  std::fprintf(err, "qzclients: %s\n", result.error.c_str());
  for (const std::string& line : result.log) {
    std::fprintf(err, "  %s\n", line.c_str());
  }
}

// A script must not take output that never arrived for success.
int Flushed(int exitCode, const Streams& streams) {
  errno = 0;
  if (std::fflush(streams.out) == 0 && std::ferror(streams.out) == 0) {
    return exitCode;
  }
  const int error = errno;
  std::fprintf(streams.err, "qzclients: cannot write to standard output%s%s\n",
               error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
  return kExitIoError;
}

}  // namespace

int Main(const std::vector<std::string>& args, const Streams& streams) {
  Invocation invocation;
  try {
    invocation = Parse(args);
  } catch (const UsageError& e) {
    std::fprintf(streams.err, "qzclients: %s\ntry '%s'\n", e.what(),
                 e.hint().c_str());
    return kExitUsage;
  }
  if (invocation.command == Invocation::Command::kHelp ||
      invocation.command == Invocation::Command::kVersion) {
    std::fputs(invocation.command == Invocation::Command::kHelp
                   ? invocation.helpText.c_str()
                   : kVersionText,
               streams.out);
    return Flushed(kExitOk, streams);
  }
  Result result;
  try {
    result = Run(invocation);
  } catch (const Failure& e) {
    result.exitCode = e.exitCode();
    result.error = e.what();
  } catch (const std::exception& e) {
    result.exitCode = kExitSoftware;
    result.error = e.what();
  }
  Tell(result, streams.err);
  const std::string command = NameOf(invocation.command);
  const std::string text =
      invocation.json ? JsonOf(result, command) : TextOf(result, command);
  std::fwrite(text.data(), 1, text.size(), streams.out);
  return Flushed(result.exitCode, streams);
}

}  // namespace qzclients
