// Catalogue files in the test's temporary folder, read and written with
// plain SQL through connections of their own, past the simulation.
#ifndef QZ_TESTS_CATALOGUE_FILES_H_
#define QZ_TESTS_CATALOGUE_FILES_H_

#include <sqlite3.h>
#include <unistd.h>

#include <string>

namespace qztest {

// Removes the catalogue at `path` and every file SQLite keeps beside it.
inline void RemoveCatalogue(const std::string& path) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    unlink((path + suffix).c_str());
  }
}

// Runs `sql` on the file: one line per row with its fields joined by blanks
// ("-" for NULL), or "error: " and SQLite's reason.
inline std::string Query(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string out;
  char* error = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  const auto row = [](void* into, int columns, char** values, char**) {
    std::string& text = *static_cast<std::string*>(into);
    for (int i = 0; i < columns; ++i) {
      text += (i == 0 ? "" : " ") + std::string(values[i] ? values[i] : "-");
    }
    text += "\n";
    return 0;
  };
  if (sqlite3_exec(db, sql.c_str(), row, &out, &error) != SQLITE_OK) {
    out = std::string("error: ") + (error ? error : sqlite3_errmsg(db));
  }
  sqlite3_free(error);
  sqlite3_close(db);
  return out;
}

}  // namespace qztest

#endif  // QZ_TESTS_CATALOGUE_FILES_H_
