// The central server's client catalogue, kept in SQLite.
//
// Not thread-safe: the installation serialises every use.
#ifndef QZ_PLATFORM_SIM_CATALOGUE_H_
#define QZ_PLATFORM_SIM_CATALOGUE_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/qzsim.h"

struct sqlite3;

namespace qzsim {

class Catalogue {
 public:
  // Opens or creates the catalogue at `path` (":memory:" for none on disk).
  // Throws std::runtime_error naming the path and SQLite's reason.
  explicit Catalogue(const std::string& path);
  ~Catalogue();
  Catalogue(const Catalogue&) = delete;
  Catalogue& operator=(const Catalogue&) = delete;

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

  // A unit of work that lands whole or not at all.
  void Begin();
  void Commit();
  void Rollback();

 private:
  class Statement;
  Statement& Prepared(int which);
  std::optional<ClientRecord> FindOne(int which, const std::string* name,
                                      long long id);
  static void BindFields(Statement& statement, const ClientRecord& client);
  static ClientRecord ReadRow(Statement& row);
  void LoadGroups(ClientRecord& client);
  void WriteGroups(const ClientRecord& client);
  void Exec(const char* sql);

  std::string path_;
  sqlite3* db_ = nullptr;
  std::vector<std::unique_ptr<Statement>> statements_;
};

}  // namespace qzsim

#endif  // QZ_PLATFORM_SIM_CATALOGUE_H_
