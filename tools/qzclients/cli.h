// The command line of qzclients: what to do, parsed and checked before
// anything is touched.
#ifndef QZ_TOOLS_QZCLIENTS_CLI_H_
#define QZ_TOOLS_QZCLIENTS_CLI_H_

#include <stdexcept>
#include <string>
#include <vector>

#include "messages/install_os_type.h"

namespace qzclients {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitSomeClientsFailed = 1;
constexpr int kExitRequestFailed = 2;
constexpr int kExitUsage = 64;

// A malformed command line; the message says what was wrong.
class UsageError : public std::runtime_error {
 public:
  UsageError(const std::string& what, std::string usage)
      : std::runtime_error(what), usage_(std::move(usage)) {}
  const std::string& usage() const { return usage_; }

 private:
  std::string usage_;
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
  bool machineList = false;
  std::string group;
  bool packages = false;
  int installerFlags = 0;
  int setupValue = 0;
};

struct Invocation {
  enum class Command { kHelp, kCreate, kMapVms, kList };
  Command command = Command::kHelp;
  std::string helpText;   // what kHelp prints
  std::string catalogue;  // empty: the default under the state directory
  bool dryRun = false;
  CreateOptions create;
  MapVmsOptions mapVms;
};

// Throws UsageError.
Invocation Parse(const std::vector<std::string>& args);

}  // namespace qzclients

#endif  // QZ_TOOLS_QZCLIENTS_CLI_H_
