// The central server's client catalogue, kept in SQLite.
//
// Every SQLite call goes through a fault seam (sim/fault_seam.h). A refused
// call throws CatalogueError; the statement is reset first, so a failed read
// never keeps the file locked. Operations are not atomic by themselves: a
// caller that writes wraps them in Atomically.
//
// Not thread-safe: the installation serialises every use.
#ifndef QZ_PLATFORM_SIM_CATALOGUE_H_
#define QZ_PLATFORM_SIM_CATALOGUE_H_

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "sim/fault_seam.h"
#include "sim/qzsim.h"

struct sqlite3;

namespace qzsim {

// Every client id the catalogue may hand out is taken. Not a fault of the
// catalogue: nothing was written.
class ClientIdsExhausted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How a fault is reported: the embedded server's setup error code and the
// word that names the cause ("busy", "full", "read-only", "I/O error",
// "error").
struct FaultKind {
  long long setupErrorCode;
  const char* name;
};
FaultKind KindOf(int sqliteCode);

class Catalogue {
 public:
  static constexpr int kDefaultBusyTimeoutMs = 5000;

  // Opens or creates the catalogue at `path` (":memory:" for none on disk),
  // counting its calls on `seam`, which must outlive it. New client ids stay
  // within 1..maxId. Throws CatalogueError naming the path and the reason.
  Catalogue(const std::string& path, FaultSeam& seam,
            int busyTimeoutMs = kDefaultBusyTimeoutMs,
            long long maxId = kMaxClientId);
  ~Catalogue();
  Catalogue(const Catalogue&) = delete;
  Catalogue& operator=(const Catalogue&) = delete;

  // How long a call waits for a file another connection holds before it
  // fails as busy; 0 or less: not at all.
  void SetBusyTimeout(int milliseconds);

  // Keeps a non-zero id that is free, else takes the next after the
  // largest or, past maxId, the lowest free one. Throws ClientIdsExhausted
  // when none is free.
  long long AddClient(const ClientRecord& client);
  // Writes every field and the group memberships; false when no such id.
  bool UpdateClient(const ClientRecord& client);
  std::optional<ClientRecord> FindClient(long long id);
  std::optional<ClientRecord> FindClientByName(const std::string& name);
  std::optional<ClientRecord> FindLiveClientByName(const std::string& name);
  std::vector<ClientRecord> Clients();

  // True when the group is new in that realm.
  bool CreateGroup(unsigned long long realmId, const std::string& name);
  std::vector<GroupRecord> Groups();

  // A unit of work that lands whole or not at all. Rollback never throws
  // and leaves the connection outside any transaction, even when the seam
  // refuses its own ROLLBACK.
  void Begin();
  void Commit();
  void Rollback() noexcept;

  // Runs `operation(*this)` as one unit of work and returns what it
  // returned; whatever it throws, and a failed BEGIN or COMMIT, comes out
  // with the unit rolled back.
  template <typename Operation>
  auto Atomically(Operation&& operation) {
    Begin();
    try {
      if constexpr (std::is_void_v<decltype(operation(*this))>) {
        operation(*this);
        Commit();
      } else {
        auto result = operation(*this);
        Commit();
        return result;
      }
    } catch (...) {
      Rollback();
      throw;
    }
  }

 private:
  class Statement;
  Statement& Prepared(int which);
  std::optional<ClientRecord> FindOne(int which, const std::string* name,
                                      long long id);
  long long NewId();
  long long IdAfter(long long largest);
  static void BindFields(Statement& statement, const ClientRecord& client);
  static ClientRecord ReadRow(Statement& row);
  void LoadGroups(ClientRecord& client);
  void WriteGroups(const ClientRecord& client);
  void AddMembership(long long id, const std::string& group);
  void Exec(const char* sql, const char* step);
  // One SQLite call through the seam: its result, or the injected failure.
  template <typename SqliteCall>
  int Call(SqliteCall call) {
    const int injected = seam_.Next();
    injected_ = injected != FaultSeam::kGoAhead;
    return injected_ ? injected : call();
  }
  CatalogueError Error(const char* step, int code) const;
  void CheckIsDatabase() const;

  std::string path_;
  FaultSeam& seam_;
  long long maxId_;
  bool injected_ = false;  // whether the last call's failure was injected
  // The largest id, once read inside the open unit of work: its write lock
  // keeps other connections from adding clients until it ends. 0: unknown.
  long long largestId_ = 0;
  sqlite3* db_ = nullptr;
  std::vector<std::unique_ptr<Statement>> statements_;
};

}  // namespace qzsim

#endif  // QZ_PLATFORM_SIM_CATALOGUE_H_
