// The simulated installation behind the platform stand-ins, and its controls.
//
// One process-wide installation serves the message facility, the install
// service, the client catalogue, the platform facts and the logger. By
// default the install service is an embedded central server working on the
// catalogue; a test may script the service instead. These controls are for
// tests, benchmarks and example programs; the library never calls them.
//
// All controls are safe to call from any thread. A scripted handler runs
// without the installation's lock held, so it may call the controls itself.
#ifndef QZ_PLATFORM_SIM_QZSIM_H_
#define QZ_PLATFORM_SIM_QZSIM_H_

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "messages/install_manager.h"

namespace qzsim {

// Back to defaults: empty in-memory catalogue, default facts, embedded
// server, empty log and journal, no log file.
void reset();

// Keeps the catalogue in the SQLite file at `path` (created on first use);
// ":memory:" is the default. Throws CatalogueError naming the path when the
// file cannot be opened as a catalogue; a file that is not an SQLite
// database is never written over.
void openCatalogue(const std::string& path);

// Platform facts. A null host name makes getRealmServerHostName fail.
void setRealmServerHostName(std::optional<std::string> name);
void setRealmServerClientName(std::string name);
void setFocus(std::string focus);
void setRealmId(int realmId);
// What CNMessageBase::Initialize() returns.
void setMessageFacilityStartResult(int result);

// A scripted install service: returns the status and fills `response`, or
// leaves it empty so that the caller's response pointer stays null.
using InstallHandler =
    std::function<int(const QZInstallManager::ClientSetup& request,
                      std::optional<QZInstallManager::ClientSetup>& response)>;
void setInstallHandler(InstallHandler handler);
void useEmbeddedServer();

// A copy of every request submitted since reset, in order.
std::vector<QZInstallManager::ClientSetup> submittedRequests();

// The operating-system id the central server gives a client it pre-declared,
// before anyone knows the client's family.
constexpr int kPreDeclaredOsId = 116;

struct ClientRecord {
  long long id = 0;
  std::string name;
  std::string hostName;
  int osId = kPreDeclaredOsId;
  bool deleted = false;
  unsigned long long evmgrcPort = 0;
  unsigned long long qzdPort = 0;
  std::string installDirectory;
  int installDirectoryKind = 0;
  bool agentless = false;
  std::vector<std::string> groups;
};

// Keeps `id` when non-zero and free, else assigns a new id as the embedded
// server does; returns it. Throws std::invalid_argument for an id outside
// 0..kMaxClientId, and std::runtime_error when the catalogue fails or no id
// is free (the catalogue is then left as it was). The readers below throw
// std::runtime_error when the catalogue fails.
long long addClient(const ClientRecord& client);
std::optional<ClientRecord> findClient(long long id);
// The live client of that name (names compare without regard to ASCII
// case), else the most recent deleted one.
std::optional<ClientRecord> findClientByName(const std::string& name);
std::vector<ClientRecord> clients();

struct GroupRecord {
  unsigned long long realmId;
  std::string name;
};
// Forces QZClientGroup::create's result. Without it, create returns 0 for a
// new group and 1 for one that exists in that realm already.
void setGroupCreateResult(int result);
std::vector<GroupRecord> groups();

// The catalogue, group and property calls made through the stand-ins, in
// order, e.g. "QZClient(name=web01)", "getClientId", "lookup", "modify".
std::vector<std::string> catalogueCalls();

struct LogLine {
  enum Kind { Debug, DebugLvl, Error, debugUntagged };
  Kind kind;
  std::string tag;  // empty for untagged lines
  int level;        // 0 unless written with DebugLvl
  std::string text;
};
std::vector<LogLine> logLines();
void clearLog();
// Also appends every line to the file at `path`; "" stops that.
void setLogFile(const std::string& path);

// Errors the embedded server reports. The first three are client errors
// of one composition, or setup errors of the whole request; the catalogue
// errors refuse the whole request, which then leaves the catalogue as it was.
constexpr long long kEmptyClientNameError = 20001;
constexpr long long kForeignServerError = 20002;
constexpr long long kUnknownSetupKindError = 20003;
constexpr long long kMalformedRequestError = 20004;
// Another process held the catalogue longer than the busy timeout: retry.
constexpr long long kCatalogueBusyError = 20005;
// The disk or file system holding the catalogue is full.
constexpr long long kCatalogueFullError = 20006;
// The catalogue file or its folder cannot be written.
constexpr long long kCatalogueReadOnlyError = 20007;
// The operating system failed to read or write the catalogue file.
constexpr long long kCatalogueIoError = 20008;
// Any other catalogue failure: a broken constraint, a damaged file.
constexpr long long kCatalogueError = 20009;
// A client error: every client id from 1 to kMaxClientId is taken.
constexpr long long kClientIdsExhaustedError = 20010;

// Client ids run from 1 to this, the largest id a 32-bit reader can hold.
// A new client gets the id after the largest; past this one, the lowest
// free id.
constexpr long long kMaxClientId = 2147483647;

// Catalogue faults. The stand-in platform never throws on one: each client,
// group and property operation returns its failure result, the embedded
// server answers with a setup error, and the reason is kept here; a failed
// stand-in call's journal entry ends with " [failed: " reason "]".
//
// Why the most recent catalogue operation since reset failed, e.g.
// "client catalogue /x.db: step failed: database is locked (busy)"; empty
// when none has failed.
std::string lastCatalogueError();
// The setup error code of that failure's kind (kCatalogueBusyError ..
// kCatalogueError); 0 when none has failed.
long long lastCatalogueErrorCode();

// A catalogue call that SQLite refused, or that the fault seam refused in its
// place: thrown by openCatalogue and by the controls that read or seed the
// catalogue (never by the stand-in platform). what() reads "client catalogue
// <path>: <step> failed: <reason> (<kind>)".
class CatalogueError : public std::runtime_error {
 public:
  CatalogueError(int code, std::string reason, const std::string& what)
      : std::runtime_error(what), code_(code), reason_(std::move(reason)) {}
  // SQLite's result code; its low byte is the primary code.
  int code() const { return code_; }
  // SQLite's own words, e.g. "database is locked".
  const std::string& reason() const { return reason_; }
  // The setup error code of its kind: kCatalogueBusyError .. kCatalogueError.
  long long kind() const;
  // True when the file could not be opened or created at all.
  bool cannotOpen() const;

 private:
  int code_;
  std::string reason_;
};
// How long an operation waits for a catalogue that another connection holds
// before it fails as busy (0 or less: not at all). 5000 ms by default and
// after reset; applies to the open catalogue and to any opened later.
void setBusyTimeout(int milliseconds);

// The fault-injecting seam. The catalogue counts every SQLite call it makes
// (prepare, bind, step, and exec with BEGIN, COMMIT and ROLLBACK; not
// resets, column reads, open or close), whichever catalogue is open, from
// the moment this is called; the call numbered `callIndex` (1 is the next
// call) fails with the SQLite result code `sqliteCode` (SQLITE_BUSY,
// SQLITE_FULL, SQLITE_IOERR, SQLITE_READONLY, ...) and SQLite's own text for
// it, without reaching SQLite. With `persistent`, every later call fails the
// same way too, until clearCatalogueFault or reset.
void failCatalogueCall(long long callIndex, int sqliteCode,
                       bool persistent = false);
void clearCatalogueFault();
// SQLite calls made since the last failCatalogueCall, clearCatalogueFault
// or reset: the range of call indexes a fault loop walks.
long long catalogueCallCount();

// A canonical text form of a record, for comparing whole trees.
std::string render(const CNMessageBase& record);

// The record as compact XML, and a record read back from such XML; fromXml
// throws std::runtime_error naming what is wrong and where.
std::string toXml(const CNMessageBase& record);
CNMessageBase fromXml(const std::string& xml);

}  // namespace qzsim

#endif  // QZ_PLATFORM_SIM_QZSIM_H_
