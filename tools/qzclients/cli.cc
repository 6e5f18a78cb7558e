#include "qzclients/cli.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace qzclients {
namespace {

constexpr const char kMainUsage[] =
    "usage: qzclients [--catalogue PATH] COMMAND [OPTIONS]\n"
    "\n"
    "Pre-declares clients on the simulated installation's central server.\n"
    "\n"
    "commands:\n"
    "  create    create named clients\n"
    "  map-vms   create clients for discovered virtual machines\n"
    "  list      list the clients in the catalogue\n"
    "\n"
    "options:\n"
    "  --catalogue PATH  the catalogue file (default: "
    "$XDG_STATE_HOME/qzclients/catalogue.db,\n"
    "                    or ~/.local/state/qzclients/catalogue.db; :memory: "
    "keeps none)\n"
    "  --help            this text; 'qzclients COMMAND --help' for a command\n"
    "\n"
    "exit codes: 0 every client done, 1 some client failed or not finished,\n"
    "            2 the request refused whole or nothing submitted, 64 usage "
    "error\n";

constexpr const char kCreateUsage[] =
    "usage: qzclients create [--host NAME] [--family windows|unix|any]\n"
    "                        [--group NAME] [--agentless] [--dry-run] "
    "NAME...\n"
    "\n"
    "Creates the named clients in one request, or refreshes those the\n"
    "catalogue holds already.\n"
    "\n"
    "  --host NAME     network host name of the one client (default: its "
    "name)\n"
    "  --family F      operating-system family (default: any)\n"
    "  --group NAME    client group to create and put the clients in\n"
    "  --agentless     clients without an agent; needs --family windows or "
    "unix\n"
    "  --dry-run       print the request as XML instead of submitting it\n";

constexpr const char kMapVmsUsage[] =
    "usage: qzclients map-vms (--inventory FILE | --libvirt URI)\n"
    "                         [--machine-list [--group NAME] [--packages]\n"
    "                          [--installer-flags N] [--setup-value N]] "
    "[--dry-run]\n"
    "\n"
    "Creates one client per discovered virtual machine and prints the map\n"
    "from machine GUID (or alternate id) to client.\n"
    "\n"
    "  --inventory FILE    machines from a JSON inventory\n"
    "  --libvirt URI       machines from a libvirt connection, e.g. "
    "test:///default\n"
    "  --machine-list      send every field of the machines (operating "
    "system,\n"
    "                      properties, group, packages, installer flags); by\n"
    "                      default only names and GUIDs are sent\n"
    "  --group NAME        client group (with --machine-list)\n"
    "  --packages          the agent package of each machine's family (with\n"
    "                      --machine-list)\n"
    "  --installer-flags N, --setup-value N\n"
    "                      32-bit values sent as they are (with "
    "--machine-list)\n"
    "  --dry-run           print the request as XML instead of submitting it\n";

constexpr const char kListUsage[] =
    "usage: qzclients list\n"
    "\n"
    "Lists the clients in the catalogue.\n";

class Arguments {
 public:
  Arguments(const std::vector<std::string>& args, const char* usage)
      : args_(args), usage_(usage) {}

  [[noreturn]] void Fail(const std::string& what) const {
    throw UsageError(what, usage_);
  }

  bool Done() const { return next_ >= args_.size(); }
  const std::string& Next() { return args_[next_++]; }

  std::string Value(const std::string& option) {
    if (Done()) Fail(option + " needs a value");
    return Next();
  }

  int IntValue(const std::string& option) {
    const std::string text = Value(option);
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < -2147483648L ||
        value > 2147483647L) {
      Fail(option + " needs a 32-bit whole number, not '" + text + "'");
    }
    return static_cast<int>(value);
  }

  void Use(const char* usage) { usage_ = usage; }

 private:
  const std::vector<std::string>& args_;
  std::size_t next_ = 0;
  const char* usage_;
};

TMMsg::InstallOSType Family(Arguments& in, const std::string& text) {
  if (text == "windows") return TMMsg::INSTALL_OS_WINDOWS;
  if (text == "unix") return TMMsg::INSTALL_OS_UNIX;
  if (text == "any") return TMMsg::INSTALL_OS_ANY;
  in.Fail("--family must be windows, unix or any, not '" + text + "'");
}

// Options every command takes; true when `arg` was one of them.
bool CommonOption(Arguments& in, const std::string& arg,
                  Invocation& invocation) {
  if (arg == "--catalogue") {
    invocation.catalogue = in.Value(arg);
    if (invocation.catalogue.empty()) in.Fail("--catalogue needs a path");
    return true;
  }
  return false;
}

void ParseCreate(Arguments& in, Invocation& invocation) {
  CreateOptions& create = invocation.create;
  bool familyGiven = false;
  while (!in.Done()) {
    const std::string arg = in.Next();
    if (CommonOption(in, arg, invocation)) continue;
    if (arg == "--host") {
      create.hostName = in.Value(arg);
    } else if (arg == "--family") {
      create.family = Family(in, in.Value(arg));
      familyGiven = true;
    } else if (arg == "--group") {
      create.group = in.Value(arg);
    } else if (arg == "--agentless") {
      create.agentless = true;
    } else if (arg == "--dry-run") {
      invocation.dryRun = true;
    } else if (arg == "--") {
      while (!in.Done()) create.names.push_back(in.Next());
    } else if (arg.rfind("--", 0) == 0) {
      in.Fail("unknown option '" + arg + "'");
    } else {
      create.names.push_back(arg);
    }
  }
  if (create.names.empty()) in.Fail("no client names given");
  if (!create.hostName.empty() && create.names.size() > 1) {
    in.Fail("--host names the host of one client; " +
            std::to_string(create.names.size()) + " names were given");
  }
  if (create.agentless &&
      (!familyGiven || create.family == TMMsg::INSTALL_OS_ANY)) {
    in.Fail("--agentless needs --family windows or --family unix");
  }
  if (create.agentless && !create.hostName.empty()) {
    in.Fail("--host cannot be given with --agentless");
  }
}

void ParseMapVms(Arguments& in, Invocation& invocation) {
  MapVmsOptions& map = invocation.mapVms;
  bool machineListOption = false;
  while (!in.Done()) {
    const std::string arg = in.Next();
    if (CommonOption(in, arg, invocation)) continue;
    if (arg == "--inventory") {
      map.inventory = in.Value(arg);
    } else if (arg == "--libvirt") {
      map.libvirtUri = in.Value(arg);
    } else if (arg == "--machine-list") {
      map.machineList = true;
    } else if (arg == "--group") {
      map.group = in.Value(arg);
      machineListOption = true;
    } else if (arg == "--packages") {
      map.packages = true;
      machineListOption = true;
    } else if (arg == "--installer-flags") {
      map.installerFlags = in.IntValue(arg);
      machineListOption = true;
    } else if (arg == "--setup-value") {
      map.setupValue = in.IntValue(arg);
      machineListOption = true;
    } else if (arg == "--dry-run") {
      invocation.dryRun = true;
    } else {
      in.Fail("unexpected argument '" + arg + "'");
    }
  }
  if (map.inventory.empty() == map.libvirtUri.empty()) {
    in.Fail("give exactly one of --inventory FILE and --libvirt URI");
  }
  if (machineListOption && !map.machineList) {
    in.Fail(
        "--group, --packages, --installer-flags and --setup-value need "
        "--machine-list");
  }
}

}  // namespace

Invocation Parse(const std::vector<std::string>& args) {
  Invocation invocation;
  Arguments in(args, kMainUsage);
  std::string command;
  while (!in.Done() && command.empty()) {
    const std::string arg = in.Next();
    if (CommonOption(in, arg, invocation)) continue;
    if (arg == "--help" || arg == "-h" || arg == "help") {
      invocation.helpText = kMainUsage;
      return invocation;
    }
    if (arg.rfind("-", 0) == 0) in.Fail("unknown option '" + arg + "'");
    command = arg;
  }
  if (command.empty()) in.Fail("no command given");

  const char* usage = command == "create"    ? kCreateUsage
                      : command == "map-vms" ? kMapVmsUsage
                      : command == "list"    ? kListUsage
                                             : nullptr;
  if (usage == nullptr) in.Fail("unknown command '" + command + "'");
  for (const std::string& arg : args) {
    if (arg == "--") break;  // names follow, whatever they look like
    if (arg == "--help" || arg == "-h") {
      invocation.helpText = usage;
      return invocation;
    }
  }
  in.Use(usage);
  if (command == "create") {
    invocation.command = Invocation::Command::kCreate;
    ParseCreate(in, invocation);
  } else if (command == "map-vms") {
    invocation.command = Invocation::Command::kMapVms;
    ParseMapVms(in, invocation);
  } else {
    invocation.command = Invocation::Command::kList;
    while (!in.Done()) {
      const std::string arg = in.Next();
      if (!CommonOption(in, arg, invocation)) {
        in.Fail("unexpected argument '" + arg + "'");
      }
    }
  }
  return invocation;
}

}  // namespace qzclients
