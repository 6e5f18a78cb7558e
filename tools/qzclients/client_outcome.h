// What became of each client of a create or map-vms run, judged from what
// the catalogue holds once the request is over. What the library or the
// server said is checked against the catalogue, never taken on trust: a
// request can fail part way through, after some clients exist.
//
// Everything here reads the simulated installation's catalogue; none of it
// is thread-safe against a request running at the same time.
#ifndef QZ_TOOLS_QZCLIENTS_CLIENT_OUTCOME_H_
#define QZ_TOOLS_QZCLIENTS_CLIENT_OUTCOME_H_

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/qzsim.h"

namespace qzclients {

enum class ClientStatus {
  kCreated,       // new, and the catalogue holds it finished
  kAlreadyKnown,  // live before the request, and finished now
  kFailed,        // refused, missing, or what came back cannot be its own
  kNotFinished,   // in the catalogue, but a step after creation did not land
};

// One client a run asks for.
struct PlannedClient {
  std::string key;  // what its line and the server's answer go by
  std::string name;
  // Why it cannot be created, when that is known before the request, e.g.
  // an empty name; said when nothing else explains its absence.
  std::string cause;
};

struct ClientOutcome {
  std::string key;
  std::string name;
  ClientStatus status = ClientStatus::kFailed;
  bool knownBefore = false;
  // False only when the catalogue was read and holds no live client of the
  // name: a run that ends with none of these for new names created nothing.
  bool mayExist = false;
  long long clientId = 0;   // the catalogue's id when it vouches for it, else 0
  long long errorCode = 0;  // the server's code for a client it refused
  std::string reason;       // why failed or not finished
  // What the catalogue holds for it after the run, when it holds it live.
  std::optional<qzsim::ClientRecord> record;
};

// What the server answered for one client.
struct ServerAnswer {
  long long clientId = 0;  // as it travelled, before any 32-bit reading
  long long errorCode = 0;
  std::string errorText;
};

// What the run must leave in a client's record beyond its existence.
struct Finish {
  bool adjusted = false;   // no longer the server's pre-declared os id
  bool agentless = false;  // marked as a client without an agent
};

// Why the run as a whole may have left clients unfinished.
struct RunFacts {
  std::string catalogueFault;  // a catalogue call failed during the request
  std::string requestFailure;  // the library refused the request
};

// The names among `names` of which the catalogue holds a live client.
// Throws std::runtime_error when the catalogue cannot be read.
std::set<std::string> LiveClients(const std::vector<std::string>& names);

// Marks the catalogue's failure record when a request starts.
class FaultWatch {
 public:
  FaultWatch();
  // Why a catalogue call failed since construction; empty when none did.
  std::string FaultSince() const;

 private:
  std::size_t journalMark_;
  std::string lastError_;
};

// The outcome of `client`; `answer` is null when the server's answer does
// not name it.
ClientOutcome Judge(const PlannedClient& client, bool knownBefore,
                    const ServerAnswer* answer, const Finish& finish,
                    const RunFacts& facts);

// Created or already known, and finished.
bool IsDone(const ClientOutcome& outcome);

// A request refused whole: no new client may exist.
bool NothingCreated(const std::vector<ClientOutcome>& outcomes);

// 0 when every client is created or already known, else 1.
int ExitCodeOf(const std::vector<ClientOutcome>& outcomes);

// One line's result text; `idLabel` goes before the id ("client id ", or
// "" in a column of ids).
std::string Describe(const ClientOutcome& outcome, const char* idLabel);

}  // namespace qzclients

#endif  // QZ_TOOLS_QZCLIENTS_CLIENT_OUTCOME_H_
