#include "qzclients/commands.h"

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "display/quoted.h"
#include "inventory/inventory.h"
#include "qzclients/libvirt_discovery.h"
#include "sim/qzsim.h"

namespace qzclients {
namespace {

using display::Quoted;
using qzmsg::Get;

// A creation object whose request and response a host program may look at.
template <class Base>
class Inspected : public Base {
 public:
  QZInstallManager::ClientSetup& Request() { return this->request; }
  QZInstallManager::ClientSetup& Response() { return this->response; }
  void SetGroup(const std::string& group) { this->clientGroupName = group; }
  void SetHostName(const std::string& host) { this->hostName = host; }
};

void PrintXml(const CNMessageBase& request) {
  std::printf("%s\n", qzsim::toXml(request).c_str());
}

// The library's log explains a failed request best.
void ExplainFailure(const std::string& what) {
  std::fprintf(stderr, "qzclients: %s\n", what.c_str());
  for (const qzsim::LogLine& line : qzsim::logLines()) {
    std::fprintf(stderr, "  %s%s%s\n", line.tag.c_str(),
                 line.tag.empty() ? "" : ": ", line.text.c_str());
  }
}

// One line per client of the response: its id, or its error.
bool PrintClientResults(QZInstallManager::ClientSetup& response) {
  bool allCreated = true;
  std::printf("%-32s %s\n", "client", "result");
  for (CNMessageBase& composition :
       Get(response, QZInstallManager::ClientSetup::kClientCompositions)) {
    CNMessageBase& entity = Get(
        Get(Get(composition, QZInstallManager::ClientsComposition::kClientInfo),
            App::ClientInfo::kClient),
        App::Client::kClientEntity);
    const std::string name = Get(entity, QzEntities::ClientEntity::kClientName);
    CNMessageBase& error =
        Get(composition, QZInstallManager::ClientsComposition::kClientError);
    const long long code = Get(error, QZInstallManager::SIMError::kErrorCode);
    if (code != 0) {
      allCreated = false;
      std::printf("%-32s failed, error %lld: %s\n", Quoted(name).c_str(), code,
                  Get(error, QZInstallManager::SIMError::kErrorString).c_str());
    } else {
      std::printf(
          "%-32s client id %d\n", Quoted(name).c_str(),
          static_cast<int>(Get(entity, QzEntities::ClientEntity::kClientId)));
    }
  }
  return allCreated;
}

// Runs the request; false, explained, when it failed as a whole.
bool Executed(QZClientCreation& creation) {
  if (creation.Execute()) return true;
  ExplainFailure("the request failed: error " +
                 std::to_string(creation.getErrorCode()) + " [" +
                 creation.getErrorString() + "]");
  return false;
}

template <class Creation>
int Submit(Creation& creation, bool prepared, bool dryRun) {
  if (!prepared) {
    ExplainFailure("the request could not be built");
    return kExitRequestFailed;
  }
  if (dryRun) {
    PrintXml(creation.Request());
    return kExitOk;
  }
  if (!Executed(creation)) return kExitRequestFailed;
  const bool allCreated = PrintClientResults(creation.Response());
  return allCreated && creation.getErrorCode() == 0 ? kExitOk
                                                    : kExitSomeClientsFailed;
}

int CreateAgentless(const CreateOptions& options, bool dryRun) {
  Inspected<AgentLessClientCreation> creation;
  const bool prepared =
      options.names.size() == 1
          ? creation.Initialize(options.names[0], options.group, options.family)
          : creation.Initialize(options.names, options.group, options.family);
  return Submit(creation, prepared, dryRun);
}

int CreateNamed(const CreateOptions& options, bool dryRun) {
  Inspected<QZClientCreation> creation;
  std::vector<QZInstallManager::AddOnComponents> noAddOns;
  creation.SetGroup(options.group);
  bool prepared = false;
  if (options.names.size() == 1) {
    creation.SetHostName(options.hostName);
    prepared =
        creation.Initialize(options.names[0], options.family, noAddOns, false);
  } else {
    prepared = creation.Initialize(options.names, options.family, noAddOns);
  }
  return Submit(creation, prepared, dryRun);
}

std::vector<VirtualMachine> Discover(const MapVmsOptions& options) {
  return options.inventory.empty() ? DiscoverLibvirtDomains(options.libvirtUri)
                                   : inventory::Load(options.inventory);
}

// The map from key to client, with a line for every machine that got none.
int PrintMap(const std::map<std::string, ClientData>& clients,
             const std::set<std::string>& expectedKeys) {
  std::printf("%-40s %-32s %s\n", "GUID or alternate id", "client",
              "client id");
  for (const auto& [key, client] : clients) {
    std::printf("%-40s %-32s %lld\n", Quoted(key).c_str(),
                Quoted(client.clientName).c_str(), client.clientId);
  }
  int missing = 0;
  for (const std::string& key : expectedKeys) {
    if (clients.count(key) != 0) continue;
    std::printf("%-40s %-32s %s\n", Quoted(key).c_str(), "-", "not created");
    ++missing;
  }
  return missing == 0 ? kExitOk : kExitSomeClientsFailed;
}

int MapThroughEntryPoint(const std::vector<VirtualMachine>& machines,
                         bool dryRun) {
  std::set<std::string> guids;
  for (const VirtualMachine& machine : machines) guids.insert(machine.guid);
  if (dryRun) {
    // The request GetVMToClientMap would submit.
    std::map<std::string, ClientData> byGuid;
    for (const VirtualMachine& machine : machines) {
      ClientData data;
      data.clientName = machine.name;
      byGuid.insert_or_assign(machine.guid, data);
    }
    Inspected<VirtualDiscoveredClientCreation> creation;
    return Submit(creation, creation.Initialize(byGuid), true);
  }
  std::map<std::string, ClientData> clients;
  if (!GetVMToClientMap(machines, clients)) {
    ExplainFailure("mapping the machines failed");
    return kExitRequestFailed;
  }
  return PrintMap(clients, guids);
}

int MapThroughMachineList(const std::vector<VirtualMachine>& machines,
                          const MapVmsOptions& options, bool dryRun) {
  std::set<std::string> keys;
  for (const VirtualMachine& machine : machines) {
    keys.insert(machine.alternateId.empty() ? machine.guid
                                            : machine.alternateId);
  }
  Inspected<VirtualDiscoveredClientCreation> creation;
  const bool prepared =
      creation.Initialize(machines, options.group, options.packages,
                          options.installerFlags, options.setupValue);
  if (!prepared || dryRun) return Submit(creation, prepared, dryRun);
  if (!Executed(creation)) return kExitRequestFailed;
  const int result = PrintMap(creation.getClients(), keys);
  return creation.getErrorCode() == 0 ? result : kExitSomeClientsFailed;
}

}  // namespace

int RunCreate(const CreateOptions& options, bool dryRun) {
  return options.agentless ? CreateAgentless(options, dryRun)
                           : CreateNamed(options, dryRun);
}

int RunMapVms(const MapVmsOptions& options, bool dryRun) {
  const std::vector<VirtualMachine> machines = Discover(options);
  return options.machineList ? MapThroughMachineList(machines, options, dryRun)
                             : MapThroughEntryPoint(machines, dryRun);
}

int RunList() {
  std::printf("%-6s %-32s %-32s %-5s %-9s %s\n", "id", "name", "host name",
              "os id", "agentless", "groups");
  for (const qzsim::ClientRecord& client : qzsim::clients()) {
    std::string groups;
    for (const std::string& group : client.groups) {
      groups += (groups.empty() ? "" : ",") + Quoted(group);
    }
    std::printf("%-6lld %-32s %-32s %-5d %-9s %s%s\n", client.id,
                Quoted(client.name).c_str(), Quoted(client.hostName).c_str(),
                client.osId, client.agentless ? "yes" : "no", groups.c_str(),
                client.deleted ? " (deleted)" : "");
  }
  return kExitOk;
}

}  // namespace qzclients
