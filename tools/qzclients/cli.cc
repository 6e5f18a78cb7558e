#include "qzclients/cli.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "qzclients/help_texts.h"

namespace qzclients {
namespace {

enum CommandBit : unsigned { kCreateBit = 1, kMapVmsBit = 2, kListBit = 4 };
constexpr unsigned kAny = kCreateBit | kMapVmsBit | kListBit;

enum class Kind { kFlag, kText, kNumber };

struct OptionSpec {
  const char* name;
  Kind kind;
  unsigned commands;  // the commands it applies to
};

constexpr OptionSpec kOptions[] = {
    {"--help", Kind::kFlag, kAny},
    {"-h", Kind::kFlag, kAny},
    {"--version", Kind::kFlag, kAny},
    {"--catalogue", Kind::kText, kAny},
    {"--json", Kind::kFlag, kAny},
    {"--dry-run", Kind::kFlag, kCreateBit | kMapVmsBit},
    {"--host", Kind::kText, kCreateBit},
    {"--family", Kind::kText, kCreateBit},
    {"--group", Kind::kText, kCreateBit | kMapVmsBit},
    {"--agentless", Kind::kFlag, kCreateBit},
    {"--inventory", Kind::kText, kMapVmsBit},
    {"--libvirt", Kind::kText, kMapVmsBit},
    {"--last-wins", Kind::kFlag, kMapVmsBit},
    {"--machine-list", Kind::kFlag, kMapVmsBit},
    {"--packages", Kind::kFlag, kMapVmsBit},
    {"--installer-flags", Kind::kNumber, kMapVmsBit},
    {"--setup-value", Kind::kNumber, kMapVmsBit},
};

struct CommandSpec {
  const char* name;
  Invocation::Command command;
  unsigned bit;
  const char* help;
};

constexpr CommandSpec kCommands[] = {
    {"create", Invocation::Command::kCreate, kCreateBit, help::kCreate},
    {"map-vms", Invocation::Command::kMapVms, kMapVmsBit, help::kMapVms},
    {"list", Invocation::Command::kList, kListBit, help::kList},
};

const CommandSpec* FindCommand(const std::string& name) {
  for (const CommandSpec& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

const OptionSpec* FindOption(const std::string& name) {
  for (const OptionSpec& option : kOptions) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

struct Given {
  const OptionSpec* option;
  std::string value;
};

// The command line sorted into options and operands, the command first.
struct Words {
  std::vector<std::string> operands;
  std::vector<Given> options;

  bool Has(const std::string& name) const {
    for (const Given& given : options) {
      if (name == given.option->name) return true;
    }
    return false;
  }
  // The command known so far, for the hint of an error.
  std::string Command() const {
    if (operands.empty() || FindCommand(operands.front()) == nullptr) {
      return "";
    }
    return operands.front();
  }
};

[[noreturn]] void Fail(const std::string& what, const std::string& command) {
  throw UsageError(what, command);
}

// A word that begins with '-' is an option, and never read as a value; a
// negative number is the exception a numeric option needs.
bool TakesAsValue(const std::string& word, Kind kind) {
  if (word.size() < 2 || word[0] != '-') return true;
  return kind == Kind::kNumber &&
         std::isdigit(static_cast<unsigned char>(word[1])) != 0;
}

Words Split(const std::vector<std::string>& args) {
  Words words;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-') {
      words.operands.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    const std::size_t equals =
        word.rfind("--", 0) == 0 ? word.find('=') : std::string::npos;
    const std::string name = word.substr(0, equals);
    const OptionSpec* option = FindOption(name);
    if (option == nullptr) {
      Fail("unknown option '" + name + "'", words.Command());
    }
    Given given{option, ""};
    if (equals != std::string::npos) {
      if (option->kind == Kind::kFlag) {
        Fail(name + " takes no value", words.Command());
      }
      given.value = word.substr(equals + 1);
    } else if (option->kind != Kind::kFlag) {
      if (i + 1 == args.size() || !TakesAsValue(args[i + 1], option->kind)) {
        Fail(name + " needs a value (" + name +
                 "=VALUE for one beginning with '-')",
             words.Command());
      }
      given.value = args[++i];
    }
    words.options.push_back(given);
  }
  return words;
}

int Number(const Given& given, const std::string& command) {
  const std::string& text = given.value;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < -2147483648L ||
      value > 2147483647L) {
    Fail(std::string(given.option->name) +
             " needs a 32-bit whole number, not '" + text + "'",
         command);
  }
  return static_cast<int>(value);
}

TMMsg::InstallOSType Family(const std::string& text,
                            const std::string& command) {
  if (text == "windows") return TMMsg::INSTALL_OS_WINDOWS;
  if (text == "unix") return TMMsg::INSTALL_OS_UNIX;
  if (text == "any") return TMMsg::INSTALL_OS_ANY;
  Fail("--family must be windows, unix or any, not '" + text + "'", command);
}

// Gives `given` its place in `invocation`; `command` is the command's name.
void Apply(const Given& given, const std::string& command,
           Invocation& invocation) {
  const std::string name = given.option->name;
  const std::string& value = given.value;
  CreateOptions& create = invocation.create;
  MapVmsOptions& map = invocation.mapVms;
  const auto nonEmpty = [&](std::string& into, const char* what) {
    if (value.empty()) Fail(name + " needs " + what, command);
    into = value;
  };
  if (name == "--catalogue") {
    nonEmpty(invocation.catalogue, "a path");
  } else if (name == "--json") {
    invocation.json = true;
  } else if (name == "--dry-run") {
    invocation.dryRun = true;
  } else if (name == "--host") {
    create.hostName = value;
  } else if (name == "--family") {
    create.family = Family(value, command);
  } else if (name == "--group") {
    (command == "create" ? create.group : map.group) = value;
  } else if (name == "--agentless") {
    create.agentless = true;
  } else if (name == "--inventory") {
    nonEmpty(map.inventory, "a file, or - for standard input");
  } else if (name == "--libvirt") {
    nonEmpty(map.libvirtUri, "a URI, e.g. test:///default");
  } else if (name == "--last-wins") {
    map.lastWins = true;
  } else if (name == "--machine-list") {
    map.machineList = true;
  } else if (name == "--packages") {
    map.packages = true;
  } else if (name == "--installer-flags") {
    map.installerFlags = Number(given, command);
  } else if (name == "--setup-value") {
    map.setupValue = Number(given, command);
  }
}

void CheckCreate(const Words& words, const CreateOptions& create) {
  const auto fail = [](const std::string& what) { Fail(what, "create"); };
  if (create.names.empty()) fail("no client names given");
  if (!create.hostName.empty() && create.names.size() > 1) {
    fail("--host names the host of one client; " +
         std::to_string(create.names.size()) + " names were given");
  }
  if (create.agentless && create.family == TMMsg::INSTALL_OS_ANY) {
    fail("--agentless needs --family windows or --family unix");
  }
  if (create.agentless && words.Has("--host")) {
    fail("--host cannot be given with --agentless");
  }
}

void CheckMapVms(const Words& words, const MapVmsOptions& map) {
  const auto fail = [](const std::string& what) { Fail(what, "map-vms"); };
  if (words.Has("--inventory") == words.Has("--libvirt")) {
    fail("give exactly one of --inventory FILE and --libvirt URI");
  }
  if (!map.machineList &&
      (words.Has("--group") || words.Has("--packages") ||
       words.Has("--installer-flags") || words.Has("--setup-value"))) {
    fail(
        "--group, --packages, --installer-flags and --setup-value need "
        "--machine-list");
  }
}

}  // namespace

Invocation Parse(const std::vector<std::string>& args) {
  Words words = Split(args);
  bool help = words.Has("--help") || words.Has("-h");
  if (!words.operands.empty() && words.operands.front() == "help") {
    help = true;
    words.operands.erase(words.operands.begin());
    if (words.operands.size() > 1) {
      Fail("help takes one command, not '" + words.operands[1] + "'", "");
    }
  }
  const std::string name = words.operands.empty() ? "" : words.operands[0];
  const CommandSpec* command = FindCommand(name);
  if (!words.operands.empty() && command == nullptr) {
    Fail("unknown command '" + name + "'", "");
  }

  Invocation invocation;
  if (help) {
    invocation.helpText = command != nullptr ? command->help : help::kMain;
    return invocation;
  }
  if (words.Has("--version")) {
    invocation.command = Invocation::Command::kVersion;
    return invocation;
  }
  if (command == nullptr) Fail("no command given", "");
  invocation.command = command->command;

  std::set<std::string> seen;
  for (const Given& given : words.options) {
    const std::string option = given.option->name;
    if ((given.option->commands & command->bit) == 0) {
      Fail(option + " does not apply to " + name, name);
    }
    if (given.option->kind != Kind::kFlag && !seen.insert(option).second) {
      Fail(option + " is given twice", name);
    }
    Apply(given, name, invocation);
  }
  const std::vector<std::string> rest(words.operands.begin() + 1,
                                      words.operands.end());
  if (command->command == Invocation::Command::kCreate) {
    invocation.create.names = rest;
    CheckCreate(words, invocation.create);
  } else if (!rest.empty()) {
    Fail("unexpected argument '" + rest.front() + "'", name);
  } else if (command->command == Invocation::Command::kMapVms) {
    CheckMapVms(words, invocation.mapVms);
  }
  return invocation;
}

}  // namespace qzclients
