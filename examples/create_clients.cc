// Pre-declares named clients on the simulated installation's embedded
// central server and shows what happened: each run's outcome and error
// state, per client whether the catalogue now holds it, and finally the
// catalogue's records and the debug log.
//
//   create_clients [--host NAME] [--family windows|unix|any]
//                  [--group NAME] [--agentless] NAME...
//
// Without names it runs a short demonstration: one Windows client with its
// own host name, two Unix clients in a group, and two agentless clients.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "sim/qzsim.h"

namespace {

struct Options {
  std::vector<std::string> names;
  std::string hostName;
  std::string group;
  TMMsg::InstallOSType family = TMMsg::INSTALL_OS_ANY;
  bool agentless = false;
};

constexpr const char kUsage[] =
    "usage: create_clients [--host NAME] [--family windows|unix|any] "
    "[--group NAME] [--agentless] NAME...\n";

constexpr const char kHelp[] =
    "Pre-declares named clients on the simulated installation's in-memory\n"
    "central server and shows each run's outcome, the catalogue and the log.\n"
    "Without names it runs a short demonstration.\n"
    "\n"
    "examples (binaries in build/release/examples):\n"
    "  create_clients\n"
    "  create_clients --family windows --host web01.example.com web01\n"
    "  create_clients --agentless --family unix --group lab cam01 cam02\n";

std::optional<TMMsg::InstallOSType> ParseFamily(const std::string& text) {
  if (text == "windows") return TMMsg::INSTALL_OS_WINDOWS;
  if (text == "unix") return TMMsg::INSTALL_OS_UNIX;
  if (text == "any") return TMMsg::INSTALL_OS_ANY;
  return std::nullopt;
}

// Returns false, having said why, on a malformed command line.
bool Parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      std::printf("%s\n%s", kUsage, kHelp);
      std::exit(0);
    } else if (arg == "--agentless") {
      options.agentless = true;
    } else if (arg == "--host" && hasValue) {
      options.hostName = argv[++i];
    } else if (arg == "--group" && hasValue) {
      options.group = argv[++i];
    } else if (arg == "--family" && hasValue) {
      const std::optional<TMMsg::InstallOSType> family = ParseFamily(argv[++i]);
      if (!family) {
        std::fprintf(stderr, "unknown family '%s'\n%s", argv[i], kUsage);
        return false;
      }
      options.family = *family;
    } else if (arg.rfind("--", 0) == 0) {
      std::fprintf(stderr, "unknown or incomplete option '%s'\n%s", arg.c_str(),
                   kUsage);
      return false;
    } else {
      options.names.push_back(arg);
    }
  }
  return true;
}

// The multi-client request takes its group from the object; a host program
// reaches that member through a class of its own.
class NamedClientCreation : public QZClientCreation {
 public:
  void setGroup(const std::string& group) { clientGroupName = group; }
};

// Builds the request the options ask for on `creation`.
template <class Creation>
bool Prepare(Creation& creation, const Options& options);

template <>
bool Prepare(AgentLessClientCreation& creation, const Options& options) {
  if (options.names.size() == 1) {
    return creation.Initialize(options.names[0], options.group, options.family);
  }
  return creation.Initialize(options.names, options.group, options.family);
}

template <>
bool Prepare(NamedClientCreation& creation, const Options& options) {
  std::vector<QZInstallManager::AddOnComponents> noAddOns;
  if (options.names.size() == 1) {
    if (!options.group.empty()) {
      return creation.Initialize(options.names[0], options.group,
                                 options.family, noAddOns);
    }
    return creation.Initialize(options.names[0], options.family,
                               options.hostName, noAddOns, false);
  }
  creation.setGroup(options.group);
  return creation.Initialize(options.names, options.family, noAddOns);
}

template <class Creation>
bool Run(const Options& options) {
  Creation creation;
  const bool prepared = Prepare(creation, options);
  const bool executed = prepared && creation.Execute();
  std::printf("%s%s:", options.agentless ? "agentless " : "",
              options.names.size() == 1 ? "client" : "clients");
  for (const std::string& name : options.names) {
    std::printf(" [%s]", name.c_str());
  }
  std::printf(
      "\n  Initialize %s, Execute %s, error code %llu, error "
      "string [%s]\n",
      prepared ? "true" : "false", executed ? "true" : "false",
      creation.getErrorCode(), creation.getErrorString().c_str());
  for (const std::string& name : options.names) {
    const std::optional<qzsim::ClientRecord> client =
        qzsim::findClientByName(name);
    if (client) {
      std::printf("  [%s] -> client id %lld\n", name.c_str(), client->id);
    } else {
      std::printf("  [%s] -> not created\n", name.c_str());
    }
  }
  return executed && creation.getErrorCode() == 0;
}

bool Create(const Options& options) {
  return options.agentless ? Run<AgentLessClientCreation>(options)
                           : Run<NamedClientCreation>(options);
}

void PrintCatalogue() {
  std::printf("\n%-4s %-10s %-24s %-5s %-9s %-8s %s\n", "id", "name",
              "host name", "os id", "agentless", "install", "groups");
  for (const qzsim::ClientRecord& client : qzsim::clients()) {
    std::string groups;
    for (const std::string& group : client.groups) {
      groups += (groups.empty() ? "" : ",") + group;
    }
    std::printf("%-4lld %-10s %-24s %-5d %-9s %-8s %s\n", client.id,
                client.name.c_str(), client.hostName.c_str(), client.osId,
                client.agentless ? "yes" : "no",
                client.installDirectory.c_str(), groups.c_str());
  }
}

void PrintLog() {
  static const char* const kKinds[] = {"Debug", "DebugLvl", "Error", "debug"};
  std::printf("\nlog:\n");
  for (const qzsim::LogLine& line : qzsim::logLines()) {
    std::printf("  %-8s %-30s %s\n", kKinds[line.kind], line.tag.c_str(),
                line.text.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!Parse(argc, argv, options)) return 64;

  bool ok = true;
  if (!options.names.empty()) {
    ok = Create(options);
  } else {
    Options windows;
    windows.names = {"web01"};
    windows.hostName = "web01.example.com";
    windows.family = TMMsg::INSTALL_OS_WINDOWS;
    ok &= Create(windows);

    Options unixGroup;
    unixGroup.names = {"db01", "db02"};
    unixGroup.group = "databases";
    unixGroup.family = TMMsg::INSTALL_OS_UNIX;
    ok &= Create(unixGroup);

    Options agentless;
    agentless.names = {"printer01", "camera01"};
    agentless.group = "devices";
    agentless.family = TMMsg::INSTALL_OS_WINDOWS;
    agentless.agentless = true;
    ok &= Create(agentless);
  }
  PrintCatalogue();
  PrintLog();
  return ok ? 0 : 1;
}
