#include "sim/catalogue.h"

#include <sqlite3.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace qzsim {
namespace {

constexpr const char* kSchema = R"sql(
  CREATE TABLE IF NOT EXISTS clients(
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL,
    host_name TEXT NOT NULL,
    os_id INTEGER NOT NULL,
    deleted INTEGER NOT NULL,
    evmgrc_port INTEGER NOT NULL,
    qzd_port INTEGER NOT NULL,
    install_directory TEXT NOT NULL,
    install_directory_kind INTEGER NOT NULL,
    agentless INTEGER NOT NULL);
  CREATE INDEX IF NOT EXISTS clients_by_name ON clients(name COLLATE NOCASE);
  CREATE TABLE IF NOT EXISTS client_groups(
    realm_id INTEGER NOT NULL,
    name TEXT NOT NULL,
    PRIMARY KEY(realm_id, name));
  CREATE TABLE IF NOT EXISTS memberships(
    client_id INTEGER NOT NULL REFERENCES clients(id),
    group_name TEXT NOT NULL,
    PRIMARY KEY(client_id, group_name));
)sql";

#define QZ_CLIENT_COLUMNS                                        \
  "id, name, host_name, os_id, deleted, evmgrc_port, qzd_port, " \
  "install_directory, install_directory_kind, agentless"

enum Sql {
  kInsertClient,
  kUpdateClient,
  kSelectById,
  kSelectByName,
  kSelectLiveByName,
  kSelectAll,
  kSelectGroupsOf,
  kDeleteGroupsOf,
  kInsertMembership,
  kInsertGroup,
  kSelectGroups,
  kSqlCount
};

constexpr const char* kSql[kSqlCount] = {
    "INSERT INTO clients(" QZ_CLIENT_COLUMNS
    ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
    "UPDATE clients SET name = ?2, host_name = ?3, os_id = ?4, deleted = ?5, "
    "evmgrc_port = ?6, qzd_port = ?7, install_directory = ?8, "
    "install_directory_kind = ?9, agentless = ?10 WHERE id = ?1",
    "SELECT " QZ_CLIENT_COLUMNS " FROM clients WHERE id = ?1",
    "SELECT " QZ_CLIENT_COLUMNS
    " FROM clients WHERE name = ?2 COLLATE NOCASE ORDER BY deleted, id DESC "
    "LIMIT 1",
    "SELECT " QZ_CLIENT_COLUMNS
    " FROM clients WHERE name = ?2 COLLATE NOCASE AND deleted = 0 "
    "ORDER BY id DESC LIMIT 1",
    "SELECT " QZ_CLIENT_COLUMNS " FROM clients ORDER BY id",
    "SELECT group_name FROM memberships WHERE client_id = ?1 ORDER BY rowid",
    "DELETE FROM memberships WHERE client_id = ?1",
    "INSERT OR IGNORE INTO memberships(client_id, group_name) VALUES(?1, ?2)",
    "INSERT OR IGNORE INTO client_groups(realm_id, name) VALUES(?1, ?2)",
    "SELECT realm_id, name FROM client_groups ORDER BY rowid",
};

#undef QZ_CLIENT_COLUMNS

}  // namespace

// A prepared statement, reset before every use.
class Catalogue::Statement {
 public:
  Statement(sqlite3* db, const std::string& path, const char* sql)
      : db_(db), path_(path) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
      Fail("prepare");
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    return *this;
  }
  Statement& Bind(int column, long long value) {
    Check(sqlite3_bind_int64(stmt_, column, value), "bind");
    return *this;
  }
  // Texts may hold any bytes, NUL included.
  Statement& Bind(int column, const std::string& value) {
    Check(sqlite3_bind_text64(stmt_, column, value.data(), value.size(),
                              SQLITE_TRANSIENT, SQLITE_UTF8),
          "bind");
    return *this;
  }
  // True while there is a row to read.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) Fail("step");
    return false;
  }
  void Run() {
    while (Step()) {
    }
  }
  long long Int(int column) { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) {
    const auto* text =
        reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    const int size = sqlite3_column_bytes(stmt_, column);
    return text == nullptr ? std::string()
                           : std::string(text, static_cast<std::size_t>(size));
  }

 private:
  void Check(int rc, const char* what) {
    if (rc != SQLITE_OK) Fail(what);
  }
  [[noreturn]] void Fail(const char* what) {
    throw std::runtime_error("client catalogue " + path_ + ": " + what +
                             " failed: " + sqlite3_errmsg(db_));
  }

  sqlite3* db_;
  const std::string& path_;
  sqlite3_stmt* stmt_ = nullptr;
};

Catalogue::Catalogue(const std::string& path) : path_(path) {
  const int rc = sqlite3_open_v2(
      path.c_str(), &db_,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
      nullptr);
  if (rc != SQLITE_OK) {
    std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw std::runtime_error("client catalogue " + path +
                             ": cannot open: " + reason);
  }
  try {
    sqlite3_busy_timeout(db_, 5000);
    Exec("PRAGMA foreign_keys = ON");
    Exec(kSchema);
    statements_.resize(kSqlCount);
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

Catalogue::~Catalogue() {
  statements_.clear();
  sqlite3_close(db_);
}

void Catalogue::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string reason = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    throw std::runtime_error("client catalogue " + path_ + ": " + reason);
  }
}

Catalogue::Statement& Catalogue::Prepared(int which) {
  auto& statement = statements_[static_cast<std::size_t>(which)];
  if (!statement)
    statement = std::make_unique<Statement>(db_, path_, kSql[which]);
  return statement->Reset();
}

void Catalogue::BindFields(Statement& statement, const ClientRecord& client) {
  statement.Bind(2, client.name)
      .Bind(3, client.hostName)
      .Bind(4, client.osId)
      .Bind(5, client.deleted ? 1 : 0)
      .Bind(6, static_cast<long long>(client.evmgrcPort))
      .Bind(7, static_cast<long long>(client.qzdPort))
      .Bind(8, client.installDirectory)
      .Bind(9, client.installDirectoryKind)
      .Bind(10, client.agentless ? 1 : 0);
}

long long Catalogue::AddClient(const ClientRecord& client) {
  const bool keepId = client.id != 0 && !FindClient(client.id);
  Statement& insert = Prepared(kInsertClient);
  if (keepId) insert.Bind(1, client.id);
  BindFields(insert, client);
  insert.Run();
  ClientRecord stored = client;
  stored.id = sqlite3_last_insert_rowid(db_);
  WriteGroups(stored);
  return stored.id;
}

bool Catalogue::UpdateClient(const ClientRecord& client) {
  Statement& update = Prepared(kUpdateClient);
  update.Bind(1, client.id);
  BindFields(update, client);
  update.Run();
  if (sqlite3_changes(db_) == 0) return false;
  WriteGroups(client);
  return true;
}

void Catalogue::WriteGroups(const ClientRecord& client) {
  Prepared(kDeleteGroupsOf).Bind(1, client.id).Run();
  for (const std::string& group : client.groups) {
    Prepared(kInsertMembership).Bind(1, client.id).Bind(2, group).Run();
  }
}

void Catalogue::LoadGroups(ClientRecord& client) {
  Statement& select = Prepared(kSelectGroupsOf).Bind(1, client.id);
  while (select.Step()) client.groups.push_back(select.Text(0));
}

std::vector<ClientRecord> Catalogue::Clients() {
  std::vector<ClientRecord> all;
  Statement& select = Prepared(kSelectAll);
  while (select.Step()) all.push_back(ReadRow(select));
  for (ClientRecord& client : all) LoadGroups(client);
  return all;
}

ClientRecord Catalogue::ReadRow(Statement& row) {
  ClientRecord client;
  client.id = row.Int(0);
  client.name = row.Text(1);
  client.hostName = row.Text(2);
  client.osId = static_cast<int>(row.Int(3));
  client.deleted = row.Int(4) != 0;
  client.evmgrcPort = static_cast<unsigned long long>(row.Int(5));
  client.qzdPort = static_cast<unsigned long long>(row.Int(6));
  client.installDirectory = row.Text(7);
  client.installDirectoryKind = static_cast<int>(row.Int(8));
  client.agentless = row.Int(9) != 0;
  return client;
}

std::optional<ClientRecord> Catalogue::FindOne(int which,
                                               const std::string* name,
                                               long long id) {
  Statement& select = Prepared(which);
  if (name != nullptr) {
    select.Bind(2, *name);
  } else {
    select.Bind(1, id);
  }
  if (!select.Step()) return std::nullopt;
  ClientRecord client = ReadRow(select);
  select.Reset();  // an unfinished read would keep the file locked
  LoadGroups(client);
  return client;
}

std::optional<ClientRecord> Catalogue::FindClient(long long id) {
  return FindOne(kSelectById, nullptr, id);
}

std::optional<ClientRecord> Catalogue::FindClientByName(
    const std::string& name) {
  return FindOne(kSelectByName, &name, 0);
}

std::optional<ClientRecord> Catalogue::FindLiveClientByName(
    const std::string& name) {
  return FindOne(kSelectLiveByName, &name, 0);
}

bool Catalogue::CreateGroup(unsigned long long realmId,
                            const std::string& name) {
  Prepared(kInsertGroup)
      .Bind(1, static_cast<long long>(realmId))
      .Bind(2, name)
      .Run();
  return sqlite3_changes(db_) != 0;
}

std::vector<GroupRecord> Catalogue::Groups() {
  std::vector<GroupRecord> all;
  Statement& select = Prepared(kSelectGroups);
  while (select.Step()) {
    all.push_back(
        {static_cast<unsigned long long>(select.Int(0)), select.Text(1)});
  }
  return all;
}

void Catalogue::Begin() { Exec("BEGIN IMMEDIATE"); }

void Catalogue::Commit() { Exec("COMMIT"); }

void Catalogue::Rollback() {
  if (!sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
}

}  // namespace qzsim
