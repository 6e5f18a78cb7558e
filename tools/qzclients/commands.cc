#include "qzclients/commands.h"

#include <exception>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "display/quoted.h"
#include "inventory/inventory.h"
#include "qzclients/client_outcome.h"
#include "qzclients/libvirt_discovery.h"
#include "sim/qzsim.h"

namespace qzclients {
namespace {

using display::Quoted;
using QzEntities::ClientEntity;
using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;
using QZInstallManager::SIMError;
using qzmsg::Get;

// What the library puts in place of the characters a client name may not
// hold.
constexpr const char* kNameReplacement = "_";

// A creation object whose request and response a host program may look at.
template <class Base>
class Inspected : public Base {
 public:
  ClientSetup& Request() { return this->request; }
  ClientSetup& Response() { return this->response; }
  void SetGroup(const std::string& group) { this->clientGroupName = group; }
  void SetHostName(const std::string& host) { this->hostName = host; }
};

// One client the run asks for: the key its line and the server's answer
// go by, and its client name.
struct Planned {
  std::string key;
  std::string name;
};

using Answers = std::map<std::string, ServerAnswer>;

// The library's log explains a failed request best.
void ExplainFailure(const std::string& what, const Streams& streams) {
  std::fprintf(streams.err, "qzclients: %s\n", what.c_str());
  for (const qzsim::LogLine& line : qzsim::logLines()) {
    std::fprintf(streams.err, "  %s%s%s\n", line.tag.c_str(),
                 line.tag.empty() ? "" : ": ", line.text.c_str());
  }
}

std::string RequestFailure(QZClientCreation& creation) {
  return "the request failed: error " +
         std::to_string(creation.getErrorCode()) + " [" +
         creation.getErrorString() + "]";
}

CNMessageBase& EntityOf(CNMessageBase& composition) {
  return Get(Get(Get(composition, ClientsComposition::kClientInfo),
                 App::ClientInfo::kClient),
             App::Client::kClientEntity);
}

std::string NameOf(CNMessageBase& composition) {
  return Get(EntityOf(composition), ClientEntity::kClientName);
}

// The key the library files a machine's client under: the alternate id
// after the GUID's comma when there is one, else the GUID.
std::string MachineKeyOf(CNMessageBase& composition) {
  CNMessageBase& props = Get(Get(composition, ClientsComposition::kClientInfo),
                             App::ClientInfo::kClientProps);
  std::string key = Get(props, App::ClientProps::kText295);
  if (key.empty()) key = Get(props, App::ClientProps::kVmGuid);
  const std::string::size_type comma = key.find(',');
  if (comma == std::string::npos || comma + 1 == key.size()) {
    return key.substr(0, comma);
  }
  return key.substr(comma + 1);
}

// Every composition's answer under its key; a later one with the same key
// wins, as in the library's map.
template <class KeyOf>
Answers AnswersOf(ClientSetup& response, KeyOf keyOf) {
  Answers answers;
  for (CNMessageBase& composition :
       Get(response, ClientSetup::kClientCompositions)) {
    CNMessageBase& error = Get(composition, ClientsComposition::kClientError);
    ServerAnswer answer;
    answer.clientId = Get(EntityOf(composition), ClientEntity::kClientId);
    answer.errorCode = Get(error, SIMError::kErrorCode);
    answer.errorText = Get(error, SIMError::kErrorString);
    answers.insert_or_assign(keyOf(composition), answer);
  }
  return answers;
}

void PrintOutcomes(const std::vector<Planned>& plan,
                   const std::vector<ClientOutcome>& outcomes, bool byKey,
                   const Streams& streams) {
  if (byKey) {
    std::fprintf(streams.out, "%-40s %-32s %s\n", "GUID or alternate id",
                 "client", "client id");
  } else {
    std::fprintf(streams.out, "%-32s %s\n", "client", "result");
  }
  for (std::size_t i = 0; i < plan.size(); ++i) {
    const std::string name = Quoted(plan[i].name);
    if (byKey) {
      std::fprintf(streams.out, "%-40s %-32s %s\n", Quoted(plan[i].key).c_str(),
                   name.c_str(), Describe(outcomes[i], "").c_str());
    } else {
      std::fprintf(streams.out, "%-32s %s\n", name.c_str(),
                   Describe(outcomes[i], "client id ").c_str());
    }
  }
}

// Submits through `submit`, which fills the server's answers and returns
// the library's reason when the request failed, then judges and prints
// every planned client.
template <class Submit>
int Report(const std::vector<Planned>& plan, const Finish& finish,
           Submit submit, bool byKey, const Streams& streams) {
  std::vector<std::string> names;
  names.reserve(plan.size());
  for (const Planned& client : plan) names.push_back(client.name);
  std::set<std::string> known;
  try {
    known = LiveClients(names);
  } catch (const std::exception& e) {
    ExplainFailure(std::string("nothing was submitted: ") + e.what(), streams);
    return kExitRequestFailed;
  }

  const FaultWatch watch;
  Answers answers;
  RunFacts facts;
  facts.requestFailure = submit(answers);
  facts.catalogueFault = watch.FaultSince();
  std::vector<ClientOutcome> outcomes;
  outcomes.reserve(plan.size());
  for (const Planned& client : plan) {
    const auto answer = answers.find(client.key);
    outcomes.push_back(Judge(
        client.name, known.count(client.name) != 0,
        answer == answers.end() ? nullptr : &answer->second, finish, facts));
  }
  if (!facts.requestFailure.empty()) {
    ExplainFailure(facts.requestFailure, streams);
    if (NothingCreated(outcomes)) return kExitRequestFailed;
  }
  PrintOutcomes(plan, outcomes, byKey, streams);
  return ExitCodeOf(outcomes);
}

template <class Creation, class KeyOf>
int Submit(Creation& creation, bool prepared, bool dryRun,
           const std::vector<Planned>& plan, const Finish& finish, KeyOf keyOf,
           bool byKey, const Streams& streams) {
  if (!prepared) {
    ExplainFailure("the request could not be built", streams);
    return kExitRequestFailed;
  }
  if (dryRun) {
    std::fprintf(streams.out, "%s\n", qzsim::toXml(creation.Request()).c_str());
    return kExitOk;
  }
  auto execute = [&](Answers& answers) {
    if (!creation.Execute()) return RequestFailure(creation);
    answers = AnswersOf(creation.Response(), keyOf);
    return std::string();
  };
  return Report(plan, finish, execute, byKey, streams);
}

int Create(const CreateOptions& options, bool dryRun, const Streams& streams) {
  std::vector<Planned> plan;
  for (const std::string& name : options.names) plan.push_back({name, name});
  Finish finish;
  finish.adjusted = options.family == TMMsg::INSTALL_OS_WINDOWS ||
                    options.family == TMMsg::INSTALL_OS_UNIX;
  finish.agentless = options.agentless;
  const bool one = options.names.size() == 1;
  if (options.agentless) {
    Inspected<AgentLessClientCreation> creation;
    const bool prepared =
        one ? creation.Initialize(options.names[0], options.group,
                                  options.family)
            : creation.Initialize(options.names, options.group, options.family);
    return Submit(creation, prepared, dryRun, plan, finish, NameOf, false,
                  streams);
  }
  Inspected<QZClientCreation> creation;
  std::vector<QZInstallManager::AddOnComponents> noAddOns;
  creation.SetGroup(options.group);
  if (one) creation.SetHostName(options.hostName);
  const bool prepared =
      one ? creation.Initialize(options.names[0], options.family, noAddOns,
                                false)
          : creation.Initialize(options.names, options.family, noAddOns);
  return Submit(creation, prepared, dryRun, plan, finish, NameOf, false,
                streams);
}

std::string ClientNameOf(const VirtualMachine& machine) {
  std::string name = machine.name;
  replaceSpecialChars(name, kNameReplacement);
  return name;
}

// Machines by the key the library files them under; a later machine with
// the same key takes the place, as in the library's map.
std::vector<Planned> PlanMachines(const std::vector<VirtualMachine>& machines,
                                  bool byAlternateId) {
  std::map<std::string, std::string> byKey;
  for (const VirtualMachine& machine : machines) {
    const bool alternate = byAlternateId && !machine.alternateId.empty();
    byKey.insert_or_assign(alternate ? machine.alternateId : machine.guid,
                           ClientNameOf(machine));
  }
  std::vector<Planned> plan;
  plan.reserve(byKey.size());
  for (const auto& [key, name] : byKey) plan.push_back({key, name});
  return plan;
}

int MapThroughEntryPoint(const std::vector<VirtualMachine>& machines,
                         bool dryRun, const Streams& streams) {
  const std::vector<Planned> plan = PlanMachines(machines, false);
  if (dryRun) {
    // The request GetVMToClientMap would submit.
    std::map<std::string, ClientData> byGuid;
    for (const VirtualMachine& machine : machines) {
      ClientData data;
      data.clientName = machine.name;
      byGuid.insert_or_assign(machine.guid, data);
    }
    Inspected<VirtualDiscoveredClientCreation> creation;
    return Submit(creation, creation.Initialize(byGuid), true, plan, Finish{},
                  MachineKeyOf, true, streams);
  }
  auto map = [&](Answers& answers) {
    std::map<std::string, ClientData> clients;
    if (!GetVMToClientMap(machines, clients)) {
      return std::string("mapping the machines failed");
    }
    for (const auto& [key, client] : clients) {
      answers[key].clientId = client.clientId;
    }
    return std::string();
  };
  return Report(plan, Finish{}, map, true, streams);
}

}  // namespace

int RunCreate(const CreateOptions& options, bool dryRun,
              const Streams& streams) {
  return Create(options, dryRun, streams);
}

int RunMapVms(const MapVmsOptions& options, bool dryRun,
              const Streams& streams) {
  const std::vector<VirtualMachine> machines =
      options.inventory.empty() ? DiscoverLibvirtDomains(options.libvirtUri)
                                : inventory::Load(options.inventory);
  if (!options.machineList) {
    return MapThroughEntryPoint(machines, dryRun, streams);
  }
  Inspected<VirtualDiscoveredClientCreation> creation;
  const bool prepared =
      creation.Initialize(machines, options.group, options.packages,
                          options.installerFlags, options.setupValue);
  return Submit(creation, prepared, dryRun, PlanMachines(machines, true),
                Finish{}, MachineKeyOf, true, streams);
}

int RunList(const Streams& streams) {
  std::fprintf(streams.out, "%-6s %-32s %-32s %-5s %-9s %s\n", "id", "name",
               "host name", "os id", "agentless", "groups");
  for (const qzsim::ClientRecord& client : qzsim::clients()) {
    std::string groups;
    for (const std::string& group : client.groups) {
      groups += (groups.empty() ? "" : ",") + Quoted(group);
    }
    std::fprintf(streams.out, "%-6lld %-32s %-32s %-5d %-9s %s%s\n", client.id,
                 Quoted(client.name).c_str(), Quoted(client.hostName).c_str(),
                 client.osId, client.agentless ? "yes" : "no", groups.c_str(),
                 client.deleted ? " (deleted)" : "");
  }
  return kExitOk;
}

}  // namespace qzclients
