#include "sim/catalogue.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
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
  kSelectLargestId,
  kSelectLowestFreeId,
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
    "SELECT coalesce(max(id), 0) FROM clients",
    // NULL when every id from 1 to ?1 is taken.
    "SELECT CASE WHEN NOT EXISTS (SELECT 1 FROM clients WHERE id = 1) THEN 1 "
    "ELSE (SELECT min(id) + 1 FROM clients AS c WHERE id BETWEEN 1 AND ?1 - 1 "
    "AND NOT EXISTS (SELECT 1 FROM clients WHERE id = c.id + 1)) END",
};

#undef QZ_CLIENT_COLUMNS

}  // namespace

FaultKind KindOf(int sqliteCode) {
  switch (sqliteCode & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return {kCatalogueBusyError, "busy"};
    case SQLITE_FULL:
      return {kCatalogueFullError, "full"};
    case SQLITE_READONLY:
    case SQLITE_PERM:
      return {kCatalogueReadOnlyError, "read-only"};
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
      return {kCatalogueIoError, "I/O error"};
    default:
      return {kCatalogueError, "error"};
  }
}

long long CatalogueError::kind() const { return KindOf(code_).setupErrorCode; }

bool CatalogueError::cannotOpen() const {
  return (code_ & 0xff) == SQLITE_CANTOPEN;
}

// A prepared statement, reset before every use.
class Catalogue::Statement {
 public:
  Statement(Catalogue& owner, const char* sql) : owner_(owner) {
    const int rc = owner_.Call([&] {
      return sqlite3_prepare_v2(owner_.db_, sql, -1, &stmt_, nullptr);
    });
    if (rc != SQLITE_OK) throw owner_.Error("prepare", rc);
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
    Check(owner_.Call([&] { return sqlite3_bind_int64(stmt_, column, value); }),
          "bind");
    return *this;
  }
  // Texts may hold any bytes, NUL included. They are bound in place, not
  // copied: each outlives the steps of its statement, and SQLite reads a
  // binding only while stepping; the next use resets the bindings first.
  Statement& Bind(int column, const std::string& value) {
    Check(owner_.Call([&] {
      return sqlite3_bind_text64(stmt_, column, value.data(), value.size(),
                                 SQLITE_STATIC, SQLITE_UTF8);
    }),
          "bind");
    return *this;
  }
  // True while there is a row to read.
  bool Step() {
    const int rc = owner_.Call([this] { return sqlite3_step(stmt_); });
    if (rc == SQLITE_ROW) return true;
    Check(rc == SQLITE_DONE ? SQLITE_OK : rc, "step");
    return false;
  }
  void Run() {
    while (Step()) {
    }
  }
  bool IsNull(int column) {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
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
  void Check(int rc, const char* step) {
    if (rc == SQLITE_OK) return;
    CatalogueError error = owner_.Error(step, rc);
    Reset();  // a half-read statement would keep the file locked
    throw error;
  }

  Catalogue& owner_;
  sqlite3_stmt* stmt_ = nullptr;
};

// SQLite takes a file shorter than its header for an empty database and
// writes over it; a file of someone else's must never be lost that way.
void Catalogue::CheckIsDatabase() const {
  constexpr char kHeader[] = "SQLite format 3";  // and its NUL: 16 bytes
  if (path_.empty() || path_[0] == ':') return;
  std::ifstream file(path_, std::ios::binary);
  char start[sizeof kHeader] = {};
  file.read(start, sizeof start);
  if (file.gcount() != 0 && std::memcmp(start, kHeader, sizeof kHeader) != 0) {
    throw CatalogueError(SQLITE_NOTADB, sqlite3_errstr(SQLITE_NOTADB),
                         "client catalogue " + path_ +
                             ": not a catalogue database; it is left as it is");
  }
}

Catalogue::Catalogue(const std::string& path, FaultSeam& seam,
                     int busyTimeoutMs, long long maxId)
    : path_(path), seam_(seam), maxId_(maxId) {
  CheckIsDatabase();
  const int rc = sqlite3_open_v2(
      path.c_str(), &db_,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
      nullptr);
  if (rc != SQLITE_OK) {
    CatalogueError error =
        db_ != nullptr
            ? Error("open", rc)
            : CatalogueError(rc, "out of memory",
                             "client catalogue " + path + ": open failed");
    sqlite3_close(db_);
    throw error;
  }
  try {
    SetBusyTimeout(busyTimeoutMs);
    Exec("PRAGMA foreign_keys = ON", "configure");
    Exec(kSchema, "create schema");
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

void Catalogue::SetBusyTimeout(int milliseconds) {
  sqlite3_busy_timeout(db_, milliseconds);
}

CatalogueError Catalogue::Error(const char* step, int code) const {
  std::string reason = injected_ ? sqlite3_errstr(code) : sqlite3_errmsg(db_);
  const std::string what = "client catalogue " + path_ + ": " + step +
                           " failed: " + reason + " (" + KindOf(code).name +
                           ")";
  return CatalogueError(code, std::move(reason), what);
}

void Catalogue::Exec(const char* sql, const char* step) {
  const int rc =
      Call([&] { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); });
  if (rc != SQLITE_OK) throw Error(step, rc);
}

Catalogue::Statement& Catalogue::Prepared(int which) {
  auto& statement = statements_[static_cast<std::size_t>(which)];
  if (!statement) statement = std::make_unique<Statement>(*this, kSql[which]);
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
  long long id = client.id;
  if (id == 0 || FindClient(id)) id = NewId();
  Statement& insert = Prepared(kInsertClient).Bind(1, id);
  BindFields(insert, client);
  insert.Run();
  if (largestId_ != 0) largestId_ = std::max(largestId_, id);
  // The id was free, and memberships must name an existing client, so
  // there are none to clear.
  for (const std::string& group : client.groups) AddMembership(id, group);
  return id;
}

// Ids are handed out explicitly: SQLite's own rowids would run past what a
// 32-bit reader can hold. Outside a unit of work another connection may add
// clients between two calls, so the largest id is read afresh.
long long Catalogue::NewId() {
  const bool inUnit = !sqlite3_get_autocommit(db_);
  if (!inUnit || largestId_ == 0) {
    Statement& largest = Prepared(kSelectLargestId);
    largest.Step();  // an aggregate always yields its row
    const long long found = largest.Int(0);
    largest.Reset();
    if (!inUnit || found == 0) return IdAfter(found);
    largestId_ = found;
  }
  return IdAfter(largestId_);
}

long long Catalogue::IdAfter(long long largest) {
  const long long next = largest + 1;
  if (next <= maxId_) return next;
  Statement& lowest = Prepared(kSelectLowestFreeId).Bind(1, maxId_);
  lowest.Step();
  const std::optional<long long> free =
      lowest.IsNull(0) ? std::nullopt : std::optional(lowest.Int(0));
  lowest.Reset();
  if (!free) {
    throw ClientIdsExhausted("every client id from 1 to " +
                             std::to_string(maxId_) + " is taken");
  }
  return *free;
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
    AddMembership(client.id, group);
  }
}

void Catalogue::AddMembership(long long id, const std::string& group) {
  Prepared(kInsertMembership).Bind(1, id).Bind(2, group).Run();
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

void Catalogue::Begin() {
  largestId_ = 0;
  Exec("BEGIN IMMEDIATE", "begin");
}

void Catalogue::Commit() {
  largestId_ = 0;
  Exec("COMMIT", "commit");
}

void Catalogue::Rollback() noexcept {
  largestId_ = 0;
  if (sqlite3_get_autocommit(db_)) return;
  const int rc = Call([this] {
    return sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  });
  if (rc == SQLITE_OK || sqlite3_get_autocommit(db_)) return;
  // A connection left inside the transaction would hold the file and refuse
  // every later request, so SQLite itself is asked once more.
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

}  // namespace qzsim
