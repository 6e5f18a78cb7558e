// Maps discovered virtual machines to clients on the simulated
// installation's embedded central server and prints the map from machine
// GUID (or alternate id) to client name and id.
//
//   map_vms INVENTORY.json
//       one call of GetVMToClientMap (only names and GUIDs count)
//   map_vms --machine-list [--group NAME] [--packages]
//           [--installer-flags N] [--setup-value N] INVENTORY.json
//       the machine-list request with every field of the machines, then
//       Execute and getClients
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "display/quoted.h"
#include "inventory/inventory.h"
#include "sim/qzsim.h"

namespace {

constexpr const char kUsage[] =
    "usage: map_vms [--machine-list [--group NAME] [--packages] "
    "[--installer-flags N] [--setup-value N]] INVENTORY.json\n";

constexpr const char kHelp[] =
    "Maps the discovered machines of a JSON inventory to clients on the\n"
    "simulated installation's in-memory central server and prints the map\n"
    "from machine GUID (or alternate id) to client.\n"
    "\n"
    "examples (from the source folder; binaries in build/release/examples):\n"
    "  build/release/examples/map_vms examples/inventory.json\n"
    "  build/release/examples/map_vms --machine-list --group lab \\\n"
    "      --packages examples/inventory.json\n";

struct Options {
  std::string inventory;
  bool machineList = false;
  std::string group;
  bool packages = false;
  int installerFlags = 0;
  int setupValue = 0;
};

bool ParseInt(const char* text, int& value) {
  char* end = nullptr;
  const long number = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || number < -2147483648L ||
      number > 2147483647L) {
    return false;
  }
  value = static_cast<int>(number);
  return true;
}

bool Parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      std::printf("%s\n%s", kUsage, kHelp);
      std::exit(0);
    } else if (arg == "--machine-list") {
      options.machineList = true;
    } else if (arg == "--packages") {
      options.packages = true;
    } else if (arg == "--group" && hasValue) {
      options.group = argv[++i];
    } else if ((arg == "--installer-flags" || arg == "--setup-value") &&
               hasValue) {
      int& target = arg == "--installer-flags" ? options.installerFlags
                                               : options.setupValue;
      if (!ParseInt(argv[++i], target)) {
        std::fprintf(stderr, "%s needs a 32-bit number, not '%s'\n%s",
                     arg.c_str(), argv[i], kUsage);
        return false;
      }
    } else if (arg.rfind("--", 0) == 0 || !options.inventory.empty()) {
      std::fprintf(stderr, "unexpected argument '%s'\n%s", arg.c_str(), kUsage);
      return false;
    } else {
      options.inventory = arg;
    }
  }
  if (options.inventory.empty()) {
    std::fprintf(stderr, "no inventory file given\n%s", kUsage);
    return false;
  }
  return true;
}

void PrintMap(const std::map<std::string, ClientData>& clients) {
  std::printf("%-40s %-24s %-9s %s\n", "GUID or alternate id", "client name",
              "client id", "vmGuid sent");
  for (const auto& [key, client] : clients) {
    std::printf("%-40s %-24s %-9lld %s\n", key.c_str(),
                display::Quoted(client.clientName).c_str(), client.clientId,
                client.vmGuid.c_str());
  }
}

bool MachineList(const std::vector<VirtualMachine>& machines,
                 const Options& options,
                 std::map<std::string, ClientData>& clients) {
  VirtualDiscoveredClientCreation creation;
  if (!creation.Initialize(machines, options.group, options.packages,
                           options.installerFlags, options.setupValue)) {
    std::fprintf(stderr, "the request could not be built\n");
    return false;
  }
  const bool executed = creation.Execute();
  std::printf("Execute %s, error code %llu, error string [%s]\n",
              executed ? "true" : "false", creation.getErrorCode(),
              creation.getErrorString().c_str());
  clients = creation.getClients();
  return executed;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!Parse(argc, argv, options)) return 64;

  std::vector<VirtualMachine> machines;
  try {
    machines = inventory::Load(options.inventory);
  } catch (const inventory::Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }

  std::map<std::string, ClientData> clients;
  bool ok = false;
  if (options.machineList) {
    std::printf("machine-list request for %zu machines\n", machines.size());
    ok = MachineList(machines, options, clients);
  } else {
    std::printf("GetVMToClientMap for %zu machines\n", machines.size());
    ok = GetVMToClientMap(machines, clients);
    std::printf("GetVMToClientMap %s\n", ok ? "true" : "false");
  }
  PrintMap(clients);

  std::printf("\nlog:\n");
  for (const qzsim::LogLine& line : qzsim::logLines()) {
    std::printf("  %-32s %s\n", line.tag.c_str(),
                display::Quoted(line.text).c_str());
  }
  return ok ? 0 : 1;
}
