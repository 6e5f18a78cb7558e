#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "QZClientCreation.h"
#include "sim/qzsim.h"

namespace {

constexpr int kClients = 20000;

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Runs in the child: one request that creates every client, then exits.
[[noreturn]] void CreateClients(const std::string& catalogue) {
  qzsim::openCatalogue(catalogue);
  std::vector<std::string> names;
  names.reserve(kClients);
  for (int i = 0; i < kClients; ++i) names.push_back("vm" + std::to_string(i));
  QZClientCreation creation;
  const bool ok = creation.Initialize(names) && creation.Execute();
  _exit(ok ? 0 : 3);
}

std::string Query(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) ==
      SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    } else {
      result = sqlite3_errmsg(db);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return result;
}

// A process killed while the central server writes a request leaves a
// catalogue that opens, is intact and holds all of that request or none.
TEST(CatalogueCrashTest, KilledRequestLandsWholeOrNotAtAll) {
  for (int delayMs : {0, 5, 40}) {
    const std::string catalogue = testing::TempDir() + "crash-" +
                                  std::to_string(getpid()) + "-" +
                                  std::to_string(delayMs) + ".db";
    unlink(catalogue.c_str());
    unlink((catalogue + "-journal").c_str());
    // An empty catalogue first, so that the journal the child's request
    // writes is the request's own.
    qzsim::openCatalogue(catalogue);
    qzsim::reset();

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) CreateClients(catalogue);

    // The rollback journal appears once the request starts writing.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!Exists(catalogue + "-journal") &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);

    EXPECT_EQ(Query(catalogue, "PRAGMA integrity_check"), "ok");
    const std::string count = Query(catalogue, "SELECT count(*) FROM clients");
    EXPECT_TRUE(count == "0" || count == std::to_string(kClients))
        << "after " << delayMs << " ms: " << count << " clients";
    // Writing that many clients takes far longer than noticing the journal,
    // so the first kill always lands inside the request.
    if (delayMs == 0) {
      EXPECT_EQ(count, "0");
    }
    qzsim::openCatalogue(catalogue);
    EXPECT_EQ(std::to_string(qzsim::clients().size()), count);
    qzsim::reset();
    unlink(catalogue.c_str());
  }
}

}  // namespace
