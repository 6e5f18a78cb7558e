#include "qzclients/client_outcome.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "qzclients/cli.h"
#include "sim/qzsim.h"

namespace qzclients {
namespace {

constexpr const char kFailedCallMark[] = " [failed: ";

std::string Join(const std::vector<std::string>& parts) {
  std::string joined;
  for (const std::string& part : parts) {
    joined += (joined.empty() ? "" : ", ") + part;
  }
  return joined;
}

// The catalogue's fault explains a client best; `otherwise` when none.
const std::string& FaultOr(const RunFacts& facts,
                           const std::string& otherwise) {
  return facts.catalogueFault.empty() ? otherwise : facts.catalogueFault;
}

// The checks after the record is in hand; `record` is live.
void JudgeRecord(const qzsim::ClientRecord& record, const ServerAnswer* answer,
                 const Finish& finish, const RunFacts& facts,
                 ClientOutcome& outcome) {
  // The library keeps ids in 32 bits: a wider one reaches it cut, and every
  // step it takes after that works on some other id.
  const long long id = answer != nullptr ? answer->clientId : record.id;
  if (id < 1 || id > qzsim::kMaxClientId) {
    outcome.reason = "client id " + std::to_string(id) + " is outside 1.." +
                     std::to_string(qzsim::kMaxClientId) +
                     ", the ids the library can read";
    return;
  }
  if (id != record.id) {
    outcome.reason = "the server answered client id " + std::to_string(id) +
                     ", the catalogue holds " + std::to_string(record.id);
    return;
  }
  outcome.clientId = id;

  std::vector<std::string> missing;
  if (answer == nullptr) missing.emplace_back("not in the server's answer");
  if (finish.adjusted && record.osId == qzsim::kPreDeclaredOsId) {
    missing.emplace_back("not adjusted");
  }
  if (finish.agentless && !record.agentless) {
    missing.emplace_back("not marked agentless");
  }
  if (missing.empty()) {
    outcome.status = outcome.knownBefore ? ClientStatus::kAlreadyKnown
                                         : ClientStatus::kCreated;
    return;
  }
  const std::string& cause = FaultOr(facts, facts.requestFailure);
  outcome.status = ClientStatus::kNotFinished;
  outcome.reason =
      Join(missing) + ": " + (cause.empty() ? "no error was reported" : cause);
}

}  // namespace

bool IsDone(const ClientOutcome& outcome) {
  return outcome.status == ClientStatus::kCreated ||
         outcome.status == ClientStatus::kAlreadyKnown;
}

std::set<std::string> LiveClients(const std::vector<std::string>& names) {
  std::set<std::string> live;
  for (const std::string& name : names) {
    const std::optional<qzsim::ClientRecord> record =
        qzsim::findClientByName(name);
    if (record && !record->deleted) live.insert(name);
  }
  return live;
}

FaultWatch::FaultWatch()
    : journalMark_(qzsim::catalogueCalls().size()),
      lastError_(qzsim::lastCatalogueError()) {}

std::string FaultWatch::FaultSince() const {
  const std::string lastError = qzsim::lastCatalogueError();
  const std::vector<std::string> calls = qzsim::catalogueCalls();
  const bool failedCall = std::any_of(
      calls.begin() +
          static_cast<std::ptrdiff_t>(std::min(journalMark_, calls.size())),
      calls.end(), [](const std::string& call) {
        return call.find(kFailedCallMark) != std::string::npos;
      });
  return failedCall || lastError != lastError_ ? lastError : std::string();
}

ClientOutcome Judge(const PlannedClient& client, bool knownBefore,
                    const ServerAnswer* answer, const Finish& finish,
                    const RunFacts& facts) {
  ClientOutcome outcome;
  outcome.key = client.key;
  outcome.name = client.name;
  outcome.knownBefore = knownBefore;
  if (answer != nullptr && answer->errorCode != 0) {
    outcome.errorCode = answer->errorCode;
    outcome.reason = answer->errorText;
    return outcome;
  }
  std::optional<qzsim::ClientRecord> record;
  try {
    record = qzsim::findClientByName(client.name);
  } catch (const std::exception& e) {
    outcome.status = ClientStatus::kNotFinished;
    outcome.mayExist = true;
    outcome.reason =
        std::string("not verified: cannot read it back: ") + e.what();
    return outcome;
  }
  if (!record || record->deleted) {
    if (answer != nullptr) {
      outcome.reason = "the server answered client id " +
                       std::to_string(answer->clientId) +
                       ", but the catalogue holds no such client";
    } else if (!facts.requestFailure.empty()) {
      outcome.reason = facts.requestFailure;
    } else {
      const std::string& cause = FaultOr(facts, client.cause);
      outcome.reason =
          "not created: " +
          (cause.empty() ? "the library passes on no reason" : cause);
    }
    return outcome;
  }
  outcome.mayExist = true;
  outcome.record = record;
  JudgeRecord(*record, answer, finish, facts, outcome);
  return outcome;
}

bool NothingCreated(const std::vector<ClientOutcome>& outcomes) {
  return std::none_of(outcomes.begin(), outcomes.end(),
                      [](const ClientOutcome& outcome) {
                        return outcome.mayExist && !outcome.knownBefore;
                      });
}

int ExitCodeOf(const std::vector<ClientOutcome>& outcomes) {
  return std::all_of(outcomes.begin(), outcomes.end(), IsDone)
             ? kExitOk
             : kExitSomeClientsFailed;
}

std::string Describe(const ClientOutcome& outcome, const char* idLabel) {
  std::string id = outcome.clientId == 0
                       ? std::string()
                       : idLabel + std::to_string(outcome.clientId);
  switch (outcome.status) {
    case ClientStatus::kCreated:
      return id + (id.empty() ? "" : ", ") + "created";
    case ClientStatus::kAlreadyKnown:
      return id + ", already known";
    case ClientStatus::kNotFinished:
      return id + (id.empty() ? "" : ", ") +
             (outcome.knownBefore ? "already known; " : "created; ") +
             outcome.reason + "; run again to finish";
    case ClientStatus::kFailed:
      break;
  }
  return outcome.errorCode == 0
             ? "failed: " + outcome.reason
             : "failed, error " + std::to_string(outcome.errorCode) + ": " +
                   outcome.reason;
}

}  // namespace qzclients
