// Feeds qzclients' parser argument lists cut from the input at NUL bytes. A
// bad command line may only raise UsageError, and one that parses must have
// passed the checks its command needs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "qzclients/cli.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\0') {
      args.emplace_back();
    } else {
      args.back() += static_cast<char>(data[i]);
    }
  }
  using Command = qzclients::Invocation::Command;
  try {
    const qzclients::Invocation invocation = qzclients::Parse(args);
    const auto& map = invocation.mapVms;
    if ((invocation.command == Command::kHelp && invocation.helpText.empty()) ||
        (invocation.command == Command::kCreate &&
         invocation.create.names.empty()) ||
        (invocation.command == Command::kMapVms &&
         map.inventory.empty() == map.libvirtUri.empty())) {
      std::abort();
    }
  } catch (const qzclients::UsageError&) {
  }
  return 0;
}
