#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "creation/response_reading.h"
#include "qzclients/commands.h"
#include "qzclients/program.h"
#include "sim/qzsim.h"

namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr int kUnixOsId = 20;
const std::vector<std::string> kNames = {"a", "b", "c"};

struct Outcome {
  int exitCode;
  std::string out, err;
};

std::string Drain(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

template <class Command>
Outcome Capture(Command command) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  const int exitCode = command(qzclients::Streams{out, err});
  return {exitCode, Drain(out), Drain(err)};
}

// The result text printed for client `name`; empty when none was.
std::string ResultOf(const std::string& out, const std::string& name) {
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("\"" + name + "\" ", 0) == 0) {
      return line.substr(line.find_first_not_of(' ', name.size() + 2));
    }
  }
  return "";
}

// The id of `name` when the catalogue holds it as an agentless Unix
// client, else 0.
long long FinishedId(const std::string& name) {
  const auto record = qzsim::findClientByName(name);
  const bool finished = record && !record->deleted &&
                        record->osId == kUnixOsId && record->agentless;
  return finished ? record->id : 0;
}

// Runs qzclients in this process, against the simulated installation.
class QzclientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qzsim::reset();
    catalogue_ =
        testing::TempDir() + "qzclients-" + std::to_string(getpid()) + ".db";
    unlink(catalogue_.c_str());
  }
  void TearDown() override {
    qzsim::reset();
    unlink(catalogue_.c_str());
  }

  // The program, as a user runs it, on the test's catalogue file.
  Outcome Run(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--catalogue", catalogue_});
    return Capture([&](const qzclients::Streams& streams) {
      return qzclients::Main(args, streams);
    });
  }

  // Agentless Unix clients, on the catalogue in memory.
  static Outcome Create(const std::vector<std::string>& names) {
    qzclients::CreateOptions options;
    options.names = names;
    options.family = TMMsg::INSTALL_OS_UNIX;
    options.agentless = true;
    return Capture([&](const qzclients::Streams& streams) {
      return qzclients::RunCreate(options, false, streams);
    });
  }

  // Every client's line says what the catalogue holds and names `cause`
  // when the client is not done; the exit code sums them up.
  static void ExpectReportMatchesCatalogue(const Outcome& run,
                                           const std::string& cause) {
    const bool nothingCreated = qzsim::clients().empty();
    EXPECT_EQ(run.exitCode == qzclients::kExitRequestFailed, nothingCreated)
        << run.out << run.err;
    if (nothingCreated) return;
    bool allDone = true;
    for (const std::string& name : kNames) {
      const std::string result = ResultOf(run.out, name);
      const bool reportedDone = result.rfind("client id ", 0) == 0 &&
                                result.find(';') == std::string::npos;
      allDone = allDone && reportedDone;
      const long long id = FinishedId(name);
      if (reportedDone) {
        EXPECT_EQ(result.substr(0, result.find(',')),
                  "client id " + std::to_string(id));
        continue;
      }
      EXPECT_THAT(result, HasSubstr(cause));
      EXPECT_THAT(result,
                  ContainsRegex(id != 0 ? "cannot read it back"
                                        : "run again to finish|failed"));
    }
    EXPECT_EQ(run.exitCode,
              allDone ? qzclients::kExitOk : qzclients::kExitSomeClientsFailed)
        << run.out;
  }

  std::string catalogue_;
};

TEST_F(QzclientsTest, ReportsWhatTheCatalogueHoldsWhenAnyCatalogueCallFails) {
  qzsim::clearCatalogueFault();
  Create(kNames);
  const long long calls = qzsim::catalogueCallCount();
  ASSERT_GT(calls, 0);
  for (const int code :
       {SQLITE_BUSY, SQLITE_FULL, SQLITE_IOERR, SQLITE_READONLY}) {
    for (long long call = 1; call <= calls; ++call) {
      SCOPED_TRACE(testing::Message() << "code " << code << ", call " << call);
      qzsim::reset();
      qzsim::failCatalogueCall(call, code);
      const Outcome run = Create(kNames);
      ASSERT_GE(qzsim::catalogueCallCount(), call) << "the fault never fired";
      qzsim::clearCatalogueFault();
      ExpectReportMatchesCatalogue(run, sqlite3_errstr(code));

      const Outcome again = Create(kNames);
      EXPECT_EQ(again.exitCode, qzclients::kExitOk) << again.out << again.err;
      ExpectReportMatchesCatalogue(again, "");
    }
  }
}

TEST_F(QzclientsTest, NeverReportsAnIdTheLibraryCannotRead) {
  using qzmsg::Get;
  // The client exists as id 1, but the answer names it by another id:
  // one wider than 32 bits (the second is 1 once cut) or another client's.
  const struct {
    long long id;
    std::string reason;
  } kCases[] = {
      {qzsim::kMaxClientId + 1,
       "client id 2147483648 is outside 1..2147483647"},
      {(1LL << 32) + 1, "client id 4294967297 is outside 1..2147483647"},
      {5, "the server answered client id 5, the catalogue holds 1"}};
  for (const auto& c : kCases) {
    qzsim::reset();
    qzsim::setInstallHandler([&c](const auto& request, auto& response) {
      response = request;
      for (CNMessageBase& composition :
           Get(*response, QZInstallManager::ClientSetup::kClientCompositions)) {
        CNMessageBase& entity = qzcc::ClientEntityOf(composition);
        qzsim::ClientRecord record;
        record.name = Get(entity, QzEntities::ClientEntity::kClientName);
        qzsim::addClient(record);
        qzmsg::Set(entity, QzEntities::ClientEntity::kClientId, c.id);
      }
      return 0;
    });
    const Outcome run = Create({"a"});
    EXPECT_EQ(run.exitCode, qzclients::kExitSomeClientsFailed);
    EXPECT_THAT(ResultOf(run.out, "a"), StartsWith("failed: " + c.reason));
  }
}

TEST_F(QzclientsTest, RunsAsAUserWouldAndSaysWhatHappened) {
  const std::string kSource = QZCC_SOURCE_DIR;
  const std::string kInventory = kSource + "/examples/inventory.json";
  const std::string kNameless = "\"4c4c4544-0042-3510-8052-b7c04f4d3732\"";
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string message;  // a regular expression
  } kCases[] = {
      // One catalogue file for all: later runs find what earlier ones left.
      {{"create", "--family", "windows", "--group", "lab", "web01", "db01"},
       0,
       "\"db01\" +client id 2\n"},
      {{"create", "--dry-run", "dry01"}, 0, "^<.*dry01"},
      {{"create", "--family", "windows", "WEB01"},
       0,
       "\"WEB01\" +client id 1, already known\n"},
      // Only the two clients, and web01 adjusted and in its group.
      {{"list"}, 0, "\n1 +\"web01\" +\"web01\" +21 +no +\"lab\"\n2 [^\n]*\n$"},
      {{}, 64, "no command given"},
      {{"frobnicate"}, 64, "unknown command 'frobnicate'"},
      {{"create"}, 64, "no client names given"},
      {{"create", "--colour", "x"}, 64, "unknown option '--colour'"},
      {{"create", "--family", "beos", "a"}, 64, "not 'beos'"},
      {{"create", "--agentless", "a"}, 64, "--agentless needs --family"},
      {{"create", "--host", "h", "a", "b"}, 64, "host of one client"},
      {{"map-vms"}, 64, "exactly one of --inventory"},
      {{"map-vms", "--inventory", "x", "--packages"},
       64,
       "need --machine-list"},
      {{"map-vms", "--machine-list", "--setup-value", "1e3", "--inventory",
        "x"},
       64,
       "not '1e3'"},
      {{"map-vms", "--inventory", "/no/such/inventory.json"},
       2,
       "/no/such/inventory.json"},
      {{"map-vms", "--libvirt", "test:///no/such/file.xml"},
       2,
       "/no/such/file.xml"},
      {{"--catalogue", "/no/such/dir/catalogue.db", "list"},
       2,
       "/no/such/dir/catalogue.db"},
      // The machine without a name cannot become a client.
      {{"map-vms", "--inventory", kInventory},
       1,
       kNameless + " +\"\" +failed: not created"},
      {{"map-vms", "--machine-list", "--group", "lab", "--packages",
        "--installer-flags", "-1", "--inventory", kInventory},
       1,
       kNameless + " +\"\" +failed, error 20001: Client name is empty\n"
                   "\"vm-1032\" +\"db_primary_5432\" +[0-9]+, already known\n"},
      {{"map-vms", "--libvirt",
        "test://" + kSource + "/examples/libvirt-domains.xml"},
       0,
       "\"7d3c1a60-5c2e-4f2a-9b61-000000000004\" +\"build-01.lab\" +[0-9]+\n"},
      {{"create", "--help"}, 0, "^usage: qzclients create"},
      {{"--help"}, 0, "exit codes"},
  };
  for (const auto& c : kCases) {
    const Outcome outcome = Run(c.args);
    EXPECT_EQ(outcome.exitCode, c.exitCode) << c.message;
    EXPECT_THAT(outcome.out + outcome.err, ContainsRegex(c.message));
  }
}

}  // namespace
