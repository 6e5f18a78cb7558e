#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "creation/response_reading.h"
#include "display/indented_xml.h"
#include "qzclients/commands.h"
#include "qzclients/program.h"
#include "sim/qzsim.h"

namespace {

using qzclients::ClientStatus;
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

// The id of `name` when the catalogue holds it as an agentless Unix
// client, else 0.
long long FinishedId(const std::string& name) {
  const auto record = qzsim::findClientByName(name);
  const bool finished = record && !record->deleted &&
                        record->osId == kUnixOsId && record->agentless;
  return finished ? record->id : 0;
}

// Agentless Unix clients, on the catalogue in memory, as Main would run
// them.
qzclients::Result Create(const std::vector<std::string>& names) {
  qzclients::CreateOptions options;
  options.names = names;
  options.family = TMMsg::INSTALL_OS_UNIX;
  options.agentless = true;
  try {
    return qzclients::RunCreate(options, false);
  } catch (const qzclients::Failure& e) {
    qzclients::Result result;
    result.exitCode = e.exitCode();
    result.error = e.what();
    return result;
  }
}

// Every client's outcome says what the catalogue holds and names `cause`
// when the client is not done; a run that created nothing ends with
// `refused`.
void ExpectReportMatchesCatalogue(const qzclients::Result& run,
                                  const std::string& cause, int refused) {
  if (qzsim::clients().empty()) {
    EXPECT_EQ(run.exitCode, refused) << run.error;
    EXPECT_THAT(run.error, HasSubstr(cause));
    return;
  }
  ASSERT_EQ(run.clients.size(), kNames.size()) << run.error;
  bool allDone = true;
  for (const qzclients::ClientOutcome& outcome : run.clients) {
    const long long id = FinishedId(outcome.name);
    if (outcome.status == ClientStatus::kCreated ||
        outcome.status == ClientStatus::kAlreadyKnown) {
      EXPECT_EQ(outcome.clientId, id);
      continue;
    }
    allDone = false;
    EXPECT_THAT(outcome.reason, HasSubstr(cause));
    if (id != 0) {
      EXPECT_THAT(outcome.reason, HasSubstr("cannot read it back"));
    }
  }
  EXPECT_EQ(run.exitCode,
            allDone ? qzclients::kExitOk : qzclients::kExitSomeClientsFailed);
}

// Runs qzclients in this process, against the simulated installation and
// a default catalogue under a state folder of the test's own.
class QzclientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qzsim::reset();
    folder_ = testing::TempDir() + "qzclients-" + std::to_string(getpid());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    setenv("XDG_STATE_HOME", folder_.c_str(), 1);
  }
  void TearDown() override {
    sqlite3_close(holder_);
    qzsim::reset();
    unsetenv("XDG_STATE_HOME");
    std::filesystem::remove_all(folder_);
  }

  // The program, as a user runs it; its output goes to `out_` when set.
  Outcome Run(const std::vector<std::string>& args) const {
    std::FILE* out =
        out_.empty() ? std::tmpfile() : std::fopen(out_.c_str(), "w");
    std::FILE* err = std::tmpfile();
    const int exitCode = qzclients::Main(args, {out, err});
    return {exitCode, Drain(out), Drain(err)};
  }

  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(folder_ + "/" + name) << text;
    return folder_ + "/" + name;
  }

  std::string folder_;
  std::string out_;
  sqlite3* holder_ = nullptr;
};

TEST_F(QzclientsTest, ReportsWhatTheCatalogueHoldsWhenAnyCatalogueCallFails) {
  qzsim::clearCatalogueFault();
  Create(kNames);
  const long long calls = qzsim::catalogueCallCount();
  ASSERT_GT(calls, 0);
  // What a run that created nothing exits with, by the fault's kind.
  const struct {
    int sqliteCode, exitCode;
  } kFaults[] = {{SQLITE_BUSY, qzclients::kExitTryAgain},
                 {SQLITE_FULL, qzclients::kExitIoError},
                 {SQLITE_IOERR, qzclients::kExitIoError},
                 {SQLITE_READONLY, qzclients::kExitCannotCreate},
                 {SQLITE_CORRUPT, qzclients::kExitDataError}};
  for (const auto& fault : kFaults) {
    for (long long call = 1; call <= calls; ++call) {
      SCOPED_TRACE(testing::Message()
                   << "code " << fault.sqliteCode << ", call " << call);
      qzsim::reset();
      qzsim::failCatalogueCall(call, fault.sqliteCode);
      const qzclients::Result run = Create(kNames);
      ASSERT_GE(qzsim::catalogueCallCount(), call) << "the fault never fired";
      qzsim::clearCatalogueFault();
      ExpectReportMatchesCatalogue(run, sqlite3_errstr(fault.sqliteCode),
                                   fault.exitCode);

      const qzclients::Result again = Create(kNames);
      EXPECT_EQ(again.exitCode, qzclients::kExitOk) << again.error;
      ExpectReportMatchesCatalogue(again, "", qzclients::kExitOk);
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
    const qzclients::Result run = Create({"a"});
    EXPECT_EQ(run.exitCode, qzclients::kExitSomeClientsFailed);
    ASSERT_EQ(run.clients.size(), 1u);
    EXPECT_EQ(run.clients[0].status, ClientStatus::kFailed);
    EXPECT_THAT(run.clients[0].reason, StartsWith(c.reason));
  }
}

TEST_F(QzclientsTest, IndentedRequestReadsBackAsTheSameRecord) {
  Create({"a<b>&c\r\n", " ", "\x01", "\xE5\x90\x8D\xC3\xA9\xF0\x9F\x98\x80"});
  const CNMessageBase request = qzsim::submittedRequests().at(0);
  std::string indented = display::IndentedXml(qzsim::toXml(request));
  EXPECT_THAT(indented, HasSubstr("\n    <s "));
  EXPECT_EQ(qzsim::render(qzsim::fromXml(indented)), qzsim::render(request));
  // Character references stand for the UTF-8 bytes of their code points.
  const std::string raw = "\xC3\xA9\xF0\x9F\x98\x80";
  indented.replace(indented.find(raw), raw.size(), "&#xE9;&#x1F600;");
  EXPECT_EQ(qzsim::render(qzsim::fromXml(indented)), qzsim::render(request));
  // Text outside elements, declarations and a cut tag are kept as they are.
  EXPECT_EQ(display::IndentedXml("<?x?><a/>t<b"), "<?x?>\n<a/>\nt<b");
}

TEST_F(QzclientsTest, RunsAsAUserWouldAndSaysWhatHappened) {
  const std::string kSource = QZCC_SOURCE_DIR;
  const std::string kInventory = kSource + "/examples/inventory.json";
  const std::string kNameless = "\"4c4c4544-0042-3510-8052-b7c04f4d3732\"";
  const std::string kJunk = Write("junk", "{");
  const std::string kEmpty = Write("empty.json", R"({"machines": []})");
  const std::string kTwins = Write("twins.json", R"({"machines": [
      {"name": "a", "guid": "g"}, {"name": "b", "guid": "g"}]})");
  const std::string kNowhere = folder_ + "/none/catalogue.db";
  std::string wide;
  for (int i = 0; i < 30; ++i) wide += "\xE5\x90\x8D";  // 2 columns each
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string message;  // a regular expression over stdout and stderr
    std::function<void()> before = nullptr;
  } kCases[] = {
      // One default catalogue for all: later runs find what earlier ones
      // left.
      {{"create", "--family", "windows", "--group", "lab", "web01", "db01"},
       0,
       "\"db01\" +client id 2, created\n"},
      {{"--family=windows", "create", "WEB01"},
       0,
       "\"WEB01\" +client id 1, already known\n"},
      {{"create", "--", "-odd-name"}, 0, "\"-odd-name\" +client id 3"},
      // Cells line up by columns, not bytes, and long ones are cut.
      {{"create", "\xC3\xA9", "\xE5\x90\x8D", wide + std::string(1 << 17, 'a')},
       0,
       "\n\"\xC3\xA9\" {39}client id [0-9]+, created\n\"\xE5\x90\x8D\" {38}c"
       ".*\n\"(\xE5\x90\x8D){19}\xE2\x80\xA6  client id"},
      {{"create", "--json", "--agentless", "--family", "unix", "cam01"},
       0,
       "\"name\": \"cam01\",\n *\"status\": \"created\",.*\"name\": \"Unix\".*"
       "\"agentless\": true,\n *\"error\": null"},
      {{"list"}, 0, "\n1 +\"web01\" +\"web01\" +Windows +no +\"lab\"\n2 "},
      {{"list", "--json"}, 0, "\"id\": 1,\n *\"name\": \"web01\""},
      {{"--catalogue", kNowhere, "create", "--dry-run", "dry01"},
       0,
       "^<r g=\"8\" y=\"8\">\n  <i .*dry01"},
      // The dry run made no folder.
      {{"--catalogue", kNowhere, "list"}, 73, "none/catalogue.db"},
      // SQLite would write over a file this short.
      {{"--catalogue", kJunk, "list"}, 65, "not a catalogue database"},
      {{}, 64, "no command given\ntry 'qzclients --help'\n$"},
      {{"frobnicate"}, 64, "unknown command 'frobnicate'"},
      {{"create", "-f", "windows", "w2"},
       64,
       "^qzclients: unknown option '-f'\ntry 'qzclients create --help'\n$"},
      {{"create", "--group", "--help", "x"}, 64, "--group needs a value"},
      {{"create"}, 64, "no client names given"},
      {{"create", "--agentless", "a"}, 64, "--agentless needs --family"},
      {{"create", "--family", "mac", "x"}, 64, "not 'mac'"},
      {{"create", "--host", "h", "a", "b"}, 64, "; 2 names were given"},
      {{"create", "q\"\\\x7F"}, 0, R"re("q\\"\\\\\\x7F" +client id)re"},
      {{"list", "--dry-run"}, 64, "--dry-run does not apply to list"},
      {{"map-vms"}, 64, "exactly one of --inventory"},
      {{"map-vms", "--libvirt", ""}, 64, "--libvirt needs a URI"},
      {{"map-vms", "--packages", "--inventory=x"}, 64, "need --machine-list"},
      {{"map-vms", "--setup-value=1e3"}, 64, "not '1e3'"},
      {{"help", "create"}, 0, "^usage: qzclients create .*examples:"},
      {{"map-vms", "--help"}, 0, "^usage: qzclients map-vms "},
      {{"--help"}, 0, "\n  75  the catalogue is busy"},
      {{"--version"}, 0, "^qzclients [0-9.]+\nlibQZClientCreation [0-9.]+\n$"},
      {{"map-vms", "--inventory", "/no/such.json"}, 66, "/no/such.json: can"},
      {{"map-vms", "--inventory", folder_}, 66, "is a folder"},
      {{"map-vms", "--inventory", kJunk}, 65, "not valid JSON"},
      {{"map-vms", "--inventory", kTwins}, 65, "share the GUID \"g\"\n$"},
      {{"map-vms", "--last-wins", "--inventory", kTwins},
       0,
       "\"g\" +\"b\" +[0-9]+, created\nqzclients: warning: .*later one"},
      {{"map-vms", "--inventory", kEmpty}, 0, "^qzclients: .* nothing to do"},
      {{"map-vms", "--inventory", kEmpty, "--machine-list"}, 0, "nothing to"},
      {{"map-vms", "--libvirt", "test://no/such/file.xml"},
       69,
       "/no/such/file.xml"},
      {{"map-vms", "--inventory", kInventory},
       1,
       kNameless + " +\"\" +failed: not created: the machine's name is empty"},
      {{"map-vms", "--machine-list", "--group", "lab", "--packages",
        "--installer-flags", "-1", "--inventory", kInventory},
       1,
       kNameless + " +\"\" +failed, error 20001: Client name is empty\n"
                   "\"vm-1032\" +\"db_primary_5432\" +[0-9]+, already known\n"},
      {{"map-vms", "--libvirt", "bogus:///"}, 69, "bogus:///: cannot be"},
      {{"map-vms", "--dry-run", "--inventory", kInventory}, 0, "^<r g=\"8\""},
      {{"map-vms", "--json", "--inventory", kInventory},
       1,
       kNameless + ",\n *\"name\": \"\",\n *\"status\": \"failed\",.*"
                   "\"code\": null,\n *\"text\": \"not created: the machine"},
      {{"map-vms", "--libvirt",
        "test://" + kSource + "/examples/libvirt-domains.xml"},
       0,
       "\"7d3c1a60-5c2e-4f2a-9b61-000000000004\" +\"build-01.lab\" +[0-9]+, "},
      {{"list"}, 74, "cannot write.*No space", [this] { out_ = "/dev/full"; }},
      {{"create", "x"},
       2,
       "could not be built",
       [] { qzsim::setRealmServerHostName(std::nullopt); }},
      {{"create", "x"},
       75,
       "locked \\(busy\\)",
       [this] {
         qzsim::setBusyTimeout(0);
         sqlite3_open((folder_ + "/qzclients/catalogue.db").c_str(), &holder_);
         sqlite3_exec(holder_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
       }},
  };
  for (const auto& c : kCases) {
    if (c.before) c.before();
    const Outcome outcome = Run(c.args);
    out_ = "";
    EXPECT_EQ(outcome.exitCode, c.exitCode) << c.message << outcome.err;
    EXPECT_THAT(outcome.out + outcome.err, ContainsRegex(c.message));
  }
}

}  // namespace
