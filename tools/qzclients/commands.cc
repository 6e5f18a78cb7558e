#include "qzclients/commands.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "display/indented_xml.h"
#include "inventory/inventory.h"
#include "qzclients/client_outcome.h"
#include "qzclients/libvirt_discovery.h"
#include "sim/qzsim.h"

namespace qzclients {
namespace {

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

using Answers = std::map<std::string, ServerAnswer>;

// What a submission tells beside the answers: why the request failed, and
// the server's code for it; both empty when it did not.
struct Submission {
  std::string failure;
  long long code = 0;
};

// The library's log explains a failed request best.
std::vector<std::string> LogTexts() {
  std::vector<std::string> texts;
  for (const qzsim::LogLine& line : qzsim::logLines()) {
    texts.push_back(line.tag + (line.tag.empty() ? "" : ": ") + line.text);
  }
  return texts;
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

// Submits through `submit`, which fills the server's answers, then judges
// every planned client by what the catalogue holds.
template <class Submit>
Result Report(const std::vector<PlannedClient>& plan, const Finish& finish,
              Submit submit, bool byMachine) {
  std::vector<std::string> names;
  names.reserve(plan.size());
  for (const PlannedClient& client : plan) names.push_back(client.name);
  std::set<std::string> known;
  try {
    known = LiveClients(names);
  } catch (const std::exception& e) {
    throw Failure(ExitCodeOfCatalogueError(e, false),
                  std::string("nothing was submitted: ") + e.what());
  }

  const FaultWatch watch;
  Answers answers;
  const Submission submission = submit(answers);
  RunFacts facts;
  facts.requestFailure = submission.failure;
  facts.catalogueFault = watch.FaultSince();
  Result result;
  result.byMachine = byMachine;
  result.clients.reserve(plan.size());
  for (const PlannedClient& client : plan) {
    const auto answer = answers.find(client.key);
    result.clients.push_back(Judge(
        client, known.count(client.name) != 0,
        answer == answers.end() ? nullptr : &answer->second, finish, facts));
  }
  result.exitCode = ExitCodeOf(result.clients);
  if (!submission.failure.empty()) {
    // Without the server's code, the catalogue's fault is the best reason.
    result.error = submission.failure +
                   (submission.code != 0 || facts.catalogueFault.empty()
                        ? ""
                        : ": " + facts.catalogueFault);
    result.errorCode = submission.code;
    result.log = LogTexts();
    if (NothingCreated(result.clients)) {
      const int byCode = ExitCodeOfSetupError(submission.code);
      result.exitCode = byCode == kExitRequestFailed
                            ? ExitCodeOfCatalogueFault(facts.catalogueFault)
                            : byCode;
    }
  }
  return result;
}

Result DryRun(ClientSetup& request) {
  Result result;
  result.request = display::IndentedXml(qzsim::toXml(request));
  return result;
}

// `built` watched the catalogue while the request was built.
template <class Creation, class KeyOf>
Result Submit(Creation& creation, const FaultWatch& built, bool prepared,
              bool dryRun, const std::vector<PlannedClient>& plan,
              const Finish& finish, KeyOf keyOf, bool byMachine) {
  if (!prepared) {
    const std::string fault = built.FaultSince();
    Result result;
    result.exitCode = ExitCodeOfCatalogueFault(fault);
    result.error =
        "the request could not be built" + (fault.empty() ? "" : ": " + fault);
    result.log = LogTexts();
    return result;
  }
  if (dryRun) return DryRun(creation.Request());
  auto execute = [&](Answers& answers) {
    if (!creation.Execute()) {
      return Submission{RequestFailure(creation),
                        static_cast<long long>(creation.getErrorCode())};
    }
    answers = AnswersOf(creation.Response(), keyOf);
    return Submission{};
  };
  return Report(plan, finish, execute, byMachine);
}

std::string ClientNameOf(const VirtualMachine& machine) {
  std::string name = machine.name;
  replaceSpecialChars(name, kNameReplacement);
  return name;
}

// Machines by the key the library files them under; a later machine with
// the same key takes the place, as in the library's map.
std::vector<PlannedClient> PlanMachines(
    const std::vector<VirtualMachine>& machines, bool byAlternateId) {
  std::map<std::string, PlannedClient> byKey;
  for (const VirtualMachine& machine : machines) {
    const bool alternate = byAlternateId && !machine.alternateId.empty();
    PlannedClient client;
    client.key = alternate ? machine.alternateId : machine.guid;
    client.name = ClientNameOf(machine);
    // The server refuses an empty name, and through the entry point the
    // library passes on no reason.
    if (client.name.empty()) client.cause = "the machine's name is empty";
    byKey.insert_or_assign(client.key, client);
  }
  std::vector<PlannedClient> plan;
  plan.reserve(byKey.size());
  for (const auto& entry : byKey) plan.push_back(entry.second);
  return plan;
}

Result MapThroughEntryPoint(const std::vector<VirtualMachine>& machines,
                            bool dryRun) {
  const std::vector<PlannedClient> plan = PlanMachines(machines, false);
  if (dryRun) {
    // The request GetVMToClientMap would submit.
    std::map<std::string, ClientData> byGuid;
    for (const VirtualMachine& machine : machines) {
      ClientData data;
      data.clientName = machine.name;
      byGuid.insert_or_assign(machine.guid, data);
    }
    const FaultWatch watch;
    Inspected<VirtualDiscoveredClientCreation> creation;
    const bool prepared = creation.Initialize(byGuid);
    return Submit(creation, watch, prepared, true, plan, Finish{}, MachineKeyOf,
                  true);
  }
  auto map = [&](Answers& answers) {
    std::map<std::string, ClientData> clients;
    if (!GetVMToClientMap(machines, clients)) {
      return Submission{"mapping the machines failed", 0};
    }
    for (const auto& [key, client] : clients) {
      answers[key].clientId = client.clientId;
    }
    return Submission{};
  };
  return Report(plan, Finish{}, map, true);
}

// Exit codes tell a missing inventory from a malformed one.
std::vector<VirtualMachine> LoadInventory(const MapVmsOptions& options,
                                          std::vector<std::string>& warnings) {
  const inventory::Options how{options.lastWins};
  const std::string& path = options.inventory;
  try {
    if (path == "-") return inventory::Load(path, how, &warnings);
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      throw Failure(kExitNoInput,
                    path + ": is a folder, not an inventory file");
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      throw Failure(kExitNoInput,
                    path + ": cannot be opened: " + std::strerror(errno));
    }
    return inventory::Read(file, path, how, &warnings);
  } catch (const inventory::Error& e) {
    throw Failure(kExitDataError, e.what());
  }
}

std::vector<VirtualMachine> Discover(const MapVmsOptions& options,
                                     std::vector<std::string>& warnings) {
  if (!options.inventory.empty()) return LoadInventory(options, warnings);
  try {
    return DiscoverLibvirtDomains(options.libvirtUri);
  } catch (const DiscoveryError& e) {
    throw Failure(kExitUnavailable, e.what());
  }
}

}  // namespace

Result RunCreate(const CreateOptions& options, bool dryRun) {
  std::vector<PlannedClient> plan;
  for (const std::string& name : options.names) {
    plan.push_back({name, name, ""});
  }
  Finish finish;
  finish.adjusted = options.family == TMMsg::INSTALL_OS_WINDOWS ||
                    options.family == TMMsg::INSTALL_OS_UNIX;
  finish.agentless = options.agentless;
  const bool one = options.names.size() == 1;
  const FaultWatch watch;
  if (options.agentless) {
    Inspected<AgentLessClientCreation> creation;
    const bool prepared =
        one ? creation.Initialize(options.names[0], options.group,
                                  options.family)
            : creation.Initialize(options.names, options.group, options.family);
    return Submit(creation, watch, prepared, dryRun, plan, finish, NameOf,
                  false);
  }
  Inspected<QZClientCreation> creation;
  std::vector<QZInstallManager::AddOnComponents> noAddOns;
  creation.SetGroup(options.group);
  if (one) creation.SetHostName(options.hostName);
  const bool prepared =
      one ? creation.Initialize(options.names[0], options.family, noAddOns,
                                false)
          : creation.Initialize(options.names, options.family, noAddOns);
  return Submit(creation, watch, prepared, dryRun, plan, finish, NameOf, false);
}

Result RunMapVms(const MapVmsOptions& options, bool dryRun) {
  std::vector<std::string> warnings;
  const std::vector<VirtualMachine> machines = Discover(options, warnings);
  Result result;
  // Nothing to submit, whichever the request.
  if (machines.empty()) {
    result.byMachine = true;
    result.notes.push_back(
        (options.inventory.empty() ? options.libvirtUri : options.inventory) +
        " holds no machines; nothing to do");
  } else if (!options.machineList) {
    result = MapThroughEntryPoint(machines, dryRun);
  } else {
    const FaultWatch watch;
    Inspected<VirtualDiscoveredClientCreation> creation;
    const bool prepared =
        creation.Initialize(machines, options.group, options.packages,
                            options.installerFlags, options.setupValue);
    result = Submit(creation, watch, prepared, dryRun,
                    PlanMachines(machines, true), Finish{}, MachineKeyOf, true);
  }
  for (const std::string& warning : warnings) {
    result.notes.insert(result.notes.begin(), "warning: " + warning);
  }
  return result;
}

Result RunList() {
  Result result;
  try {
    result.catalogue = qzsim::clients();
  } catch (const std::exception& e) {
    throw Failure(ExitCodeOfCatalogueError(e, false), e.what());
  }
  return result;
}

}  // namespace qzclients
