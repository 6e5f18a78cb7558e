#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "QZClientCreation.h"
#include "catalogue_files.h"
#include "sim/qzsim.h"

namespace {

using qztest::Query;
using qztest::RemoveCatalogue;

constexpr int kClients = 20000;

bool Exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Every file this run names begins so. A stale journal left beside a new
// catalogue of the same name would be rolled into it.
std::string RunPrefix() { return "crash-" + std::to_string(getpid()) + "-"; }

std::vector<std::string> FilesOfThisRun() {
  std::vector<std::string> left;
  for (const auto& entry :
       std::filesystem::directory_iterator(testing::TempDir())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(RunPrefix(), 0) == 0) left.push_back(name);
  }
  return left;
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

// A process killed while the central server writes a request leaves a
// catalogue that opens, is intact and holds all of that request or none.
TEST(CatalogueCrashTest, KilledRequestLandsWholeOrNotAtAll) {
  for (int delayMs : {0, 5, 40}) {
    const std::string catalogue =
        testing::TempDir() + RunPrefix() + std::to_string(delayMs) + ".db";
    RemoveCatalogue(catalogue);
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

    EXPECT_EQ(Query(catalogue, "PRAGMA integrity_check"), "ok\n");
    const std::string count = Query(catalogue, "SELECT count(*) FROM clients");
    EXPECT_TRUE(count == "0\n" || count == std::to_string(kClients) + "\n")
        << "after " << delayMs << " ms: " << count << " clients";
    // Writing that many clients takes far longer than noticing the journal,
    // so the first kill always lands inside the request.
    if (delayMs == 0) {
      EXPECT_EQ(count, "0\n");
    }
    qzsim::openCatalogue(catalogue);
    EXPECT_EQ(std::to_string(qzsim::clients().size()) + "\n", count);
    qzsim::reset();
    RemoveCatalogue(catalogue);
  }
  EXPECT_THAT(FilesOfThisRun(), ::testing::IsEmpty());
}

}  // namespace
