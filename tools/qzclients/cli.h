// The command line of qzclients: what to do, parsed and checked before
// anything is touched.
//
// Options may stand anywhere, before or after the command, as "--opt VALUE"
// or "--opt=VALUE". Every other word beginning with '-' (but "-" alone) is
// an unknown option; "--" ends the options. A value is the next word unless
// that one begins with '-' (a negative number for a numeric option, and "-"
// alone, excepted): then the value is missing, and "--opt=-value" gives it.
#ifndef QZ_TOOLS_QZCLIENTS_CLI_H_
#define QZ_TOOLS_QZCLIENTS_CLI_H_

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "messages/install_os_type.h"
#include "qzclients/exit_codes.h"

namespace qzclients {

// A malformed command line; the message says what was wrong.
class UsageError : public std::runtime_error {
 public:
  UsageError(const std::string& what, std::string command)
      : std::runtime_error(what), command_(std::move(command)) {}
  // Where to look for help: "qzclients create --help" or "qzclients --help".
  std::string hint() const {
    return "qzclients " + command_ + (command_.empty() ? "" : " ") + "--help";
  }

 private:
  std::string command_;
};

struct CreateOptions {
  std::vector<std::string> names;
  std::string hostName;
  std::string group;
  TMMsg::InstallOSType family = TMMsg::INSTALL_OS_ANY;
  bool agentless = false;
};

struct MapVmsOptions {
  std::string inventory;  // one of these two
  std::string libvirtUri;
  bool lastWins = false;  // a later machine with the same GUID replaces one
  bool machineList = false;
  std::string group;
  bool packages = false;
  int installerFlags = 0;
  int setupValue = 0;
};

struct Invocation {
  enum class Command { kHelp, kVersion, kCreate, kMapVms, kList };
  Command command = Command::kHelp;
  std::string helpText;   // what kHelp prints
  std::string catalogue;  // empty: the default under the state directory
  bool dryRun = false;
  bool json = false;
  CreateOptions create;
  MapVmsOptions mapVms;
};

// Throws UsageError.
Invocation Parse(const std::vector<std::string>& args);

}  // namespace qzclients

#endif  // QZ_TOOLS_QZCLIENTS_CLI_H_
