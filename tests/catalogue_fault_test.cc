// Catalogue faults at every SQLite call of a small request, in the way
// SQLite tests itself: whichever call fails, the library reports the request
// refused or carries on past the one client, the file stays intact, each
// request lands whole or not at all, and a second run finishes the job.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "catalogue_files.h"
#include "sim/qzsim.h"
#include "test_support.h"

namespace {

using qztest::Query;
using ::testing::EndsWith;
using ::testing::HasSubstr;

// Named clients, and agentless ones, which alone come in a group.
struct Job {
  std::vector<std::string> names;
  TMMsg::InstallOSType family;
  std::string agentlessGroup;
};
const Job kJobs[] = {{{"web01", "web02"}, TMMsg::INSTALL_OS_UNIX, ""},
                     {{"edge01"}, TMMsg::INSTALL_OS_WINDOWS, "edge"}};

const std::string kGroupsOfClient =
    "(SELECT group_concat(group_name) FROM memberships WHERE client_id = id)";
// Every client once both jobs are done: adjusted, marked and grouped.
const std::string kClientsState =
    "SELECT name, os_id, evmgrc_port, qzd_port, install_directory, "
    "agentless, " +
    kGroupsOfClient + " FROM clients ORDER BY name";
constexpr const char* kDone =
    "edge01 21 0 0 N/A 1 edge\nweb01 20 0 0 N/A 0 -\nweb02 20 0 0 N/A 0 -\n";

// What Execute returned, with the error code and text: "1 0 " on success.
std::string Perform(const Job& job) {
  std::vector<QZInstallManager::AddOnComponents> none;
  AgentLessClientCreation agentless;
  QZClientCreation named;
  const bool isAgentless = !job.agentlessGroup.empty();
  QZClientCreation& creation = isAgentless ? agentless : named;
  const bool ok =
      (isAgentless
           ? agentless.Initialize(job.names, job.agentlessGroup, job.family)
           : named.Initialize(job.names, job.family, none)) &&
      creation.Execute();
  return std::to_string(ok) + " " + std::to_string(creation.getErrorCode()) +
         " " + creation.getErrorString();
}

// The default VFS with every sync and directory sync skipped: the loop
// commits thousands of times and asks nothing of the disk, only of what the
// connections see.
void SkipSyncs() {
  static sqlite3_vfs* const real = sqlite3_vfs_find(nullptr);
  // One copy per kind of file: databases lock, journals do not.
  static std::map<const sqlite3_io_methods*, sqlite3_io_methods> copies;
  static sqlite3_vfs vfs = *real;
  vfs.zName = "qzsim-nosync";
  vfs.xDelete = [](sqlite3_vfs*, const char* name, int) {
    return real->xDelete(real, name, 0);
  };
  vfs.xOpen = [](sqlite3_vfs*, const char* name, sqlite3_file* file, int flags,
                 int* outFlags) {
    const int rc = real->xOpen(real, name, file, flags, outFlags);
    if (rc == SQLITE_OK && file->pMethods != nullptr) {
      auto copy = copies.try_emplace(file->pMethods, *file->pMethods).first;
      copy->second.xSync = [](sqlite3_file*, int) { return SQLITE_OK; };
      file->pMethods = &copy->second;
    }
    return rc;
  };
  sqlite3_vfs_register(&vfs, /*makeDflt=*/1);
}

class CatalogueFileTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { SkipSyncs(); }
  void SetUp() override { Fresh(); }
  void TearDown() override {
    qzsim::reset();
    qztest::RemoveCatalogue(path_);
  }

  // An empty catalogue file, calls counted from its opening on.
  void Fresh() {
    qzsim::reset();
    qztest::RemoveCatalogue(path_);
    qzsim::openCatalogue(path_);
    qzsim::clearCatalogueFault();
  }

  const std::string path_ =
      testing::TempDir() + "fault-" + std::to_string(getpid()) + ".db";
};

struct Fault {
  const char* name;
  int code;
  long long setupError;
  std::string kind;
  bool persistent;
};

void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

class CatalogueFaultTest : public CatalogueFileTest,
                           public testing::WithParamInterface<Fault> {};

TEST_P(CatalogueFaultTest, AnyFailingCallIsReportedOrOutlivedAndARerunHeals) {
  for (const Job& job : kJobs) ASSERT_EQ(Perform(job), "1 0 ");
  ASSERT_EQ(Query(path_, kClientsState), kDone);
  const long long calls = qzsim::catalogueCallCount();
  const Fault& fault = GetParam();
  const std::string reason = sqlite3_errstr(fault.code);
  const std::string refusal = "Client catalogue " + fault.kind + ": " + reason +
                              (fault.code == SQLITE_BUSY ? "; try again" : "");
  for (long long call = 1; call <= calls; ++call) {
    SCOPED_TRACE(reason + " at call " + std::to_string(call));
    Fresh();
    qzsim::failCatalogueCall(call, fault.code, fault.persistent);
    int failures = 0;
    int id = 0;
    std::string landed;  // "name=id" in the order ids were handed out
    std::string log;
    for (const Job& job : kJobs) {
      const std::string outcome = Perform(job);
      if (outcome == "1 0 ") {
        for (const std::string& name : job.names) {
          landed += name + "=" + std::to_string(++id) + " " +
                    (job.agentlessGroup.empty() ? "-" : job.agentlessGroup) +
                    "\n";
        }
        continue;
      }
      ++failures;
      const std::string code = std::to_string(fault.setupError);
      EXPECT_EQ(outcome, "0 " + code + " " + refusal);
      log += "ProcessClientSetupRequest Failed with errorCode [" + code +
             "] \nError string [" + refusal + "]\n";
    }
    for (const std::string& entry : qzsim::catalogueCalls()) {
      if (entry.find(" [failed: ") == std::string::npos) continue;
      ++failures;
      EXPECT_THAT(entry, EndsWith(reason + " (" + fault.kind + ")]"));
    }
    std::string errors;  // the untagged lines, where Execute reports them
    for (const qzsim::LogLine& line : qzsim::logLines()) {
      if (line.kind == qzsim::LogLine::debugUntagged)
        errors += line.text + "\n";
    }
    EXPECT_EQ(errors, log);
    EXPECT_THAT(qzsim::lastCatalogueError(),
                EndsWith(reason + " (" + fault.kind + ")"));
    EXPECT_EQ(qzsim::lastCatalogueErrorCode(), fault.setupError);
    EXPECT_TRUE(fault.persistent ? failures >= 1 : failures == 1) << failures;
    // Intact and holding what landed, memberships too; the rerun shows the
    // catalogue's connection left no transaction open.
    EXPECT_EQ(
        Query(path_, "PRAGMA integrity_check; SELECT name || '=' || id, " +
                         kGroupsOfClient + " FROM clients ORDER BY id"),
        "ok\n" + landed);

    qzsim::clearCatalogueFault();
    for (const Job& job : kJobs) EXPECT_EQ(Perform(job), "1 0 ");
    EXPECT_EQ(Query(path_, kClientsState), kDone);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, CatalogueFaultTest,
    testing::Values(
        Fault{"Busy", SQLITE_BUSY, qzsim::kCatalogueBusyError, "busy", false},
        Fault{"Full", SQLITE_FULL, qzsim::kCatalogueFullError, "full", true},
        Fault{"IoError", SQLITE_IOERR_WRITE, qzsim::kCatalogueIoError,
              "I/O error", false},
        Fault{"ReadOnly", SQLITE_READONLY, qzsim::kCatalogueReadOnlyError,
              "read-only", true},
        Fault{"Constraint", SQLITE_CONSTRAINT, qzsim::kCatalogueError, "error",
              false}),
    [](const testing::TestParamInfo<Fault>& info) { return info.param.name; });

// Each request takes ids after the largest in the file as that request
// starts, so clients another connection added in between keep theirs.
TEST_F(CatalogueFileTest, IdsFollowClientsAddedElsewhereBetweenRequests) {
  ASSERT_EQ(Perform(kJobs[0]), "1 0 ");
  ASSERT_EQ(Query(path_,
                  "INSERT INTO clients VALUES(50, 'other', '', 116, 0, "
                  "0, 0, '', 0, 0)"),
            "");
  ASSERT_EQ(Perform(kJobs[1]), "1 0 ");
  EXPECT_EQ(Query(path_, "SELECT name || '=' || id FROM clients ORDER BY id"),
            "web01=1\nweb02=2\nother=50\nedge01=51\n");
}

using CatalogueBusyTest = CatalogueFileTest;

// Held by another connection: the lookup, a later opening and the request
// each wait the short timeout, not the default, then fail as busy.
TEST_F(CatalogueBusyTest, CatalogueHeldElsewhereFailsAsBusyAfterTheWait) {
  constexpr auto kWait = std::chrono::milliseconds(50);
  qzsim::setBusyTimeout(static_cast<int>(kWait.count()));
  sqlite3* holder = nullptr;
  sqlite3_open(path_.c_str(), &holder);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr),
            SQLITE_OK);
  const auto start = std::chrono::steady_clock::now();
  QZClientCreation creation;
  EXPECT_TRUE(creation.Initialize("web01"));
  EXPECT_THROW(qzsim::openCatalogue(path_), qzsim::CatalogueError);
  EXPECT_FALSE(creation.Execute());
  const auto waited = std::chrono::steady_clock::now() - start;
  sqlite3_close(holder);

  EXPECT_GE(waited, 3 * kWait);
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(creation.getErrorCode(),
            static_cast<unsigned long long>(qzsim::kCatalogueBusyError));
  EXPECT_EQ(creation.getErrorString(),
            "Client catalogue busy: database is locked; try again");
  const std::string busy = "client catalogue " + path_ + ": ";
  EXPECT_THAT(qztest::RenderCalls(),
              HasSubstr("QZClient(name=web01) [failed: " + busy +
                        "step failed: database is locked (busy)]\n"));
  EXPECT_EQ(qzsim::lastCatalogueError(),
            busy + "begin failed: database is locked (busy)");
  EXPECT_EQ(Perform(kJobs[0]), "1 0 ");
}

}  // namespace
