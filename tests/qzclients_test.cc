#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

struct Outcome {
  int exitCode;
  std::string out;
  std::string err;
};

std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string Slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Runs the installed-to-be qzclients binary against the test's catalogue.
class QzclientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string base =
        testing::TempDir() + "qzclients-" + std::to_string(getpid()) + "-" +
        testing::UnitTest::GetInstance()->current_test_info()->name();
    catalogue_ = base + ".db";
    out_ = base + ".out";
    err_ = base + ".err";
    unlink(catalogue_.c_str());
  }
  void TearDown() override {
    unlink(catalogue_.c_str());
    unlink(out_.c_str());
    unlink(err_.c_str());
  }

  Outcome Run(const std::vector<std::string>& args, bool withCatalogue = true) {
    std::string command = Quote(QZCLIENTS_PATH);
    if (withCatalogue) command += " --catalogue " + Quote(catalogue_);
    for (const std::string& arg : args) command += " " + Quote(arg);
    command += " >" + Quote(out_) + " 2>" + Quote(err_);
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(out_),
            Slurp(err_)};
  }

  std::string catalogue_;
  std::string out_;
  std::string err_;
};

const std::string kSource = QZCC_SOURCE_DIR;

// The lines of `text` that hold `needle`.
std::vector<std::string> LinesWith(const std::string& text,
                                   const std::string& needle) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find(needle) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

TEST_F(QzclientsTest, CreatesNamedClientsAndListsThemAsKnownOnTheSecondRun) {
  Outcome first =
      Run({"create", "--family", "windows", "--group", "lab", "web01", "db01"});
  EXPECT_EQ(first.exitCode, 0) << first.err;
  EXPECT_THAT(first.out,
              AllOf(HasSubstr("\"web01\""), HasSubstr("client id 1"),
                    HasSubstr("\"db01\""), HasSubstr("client id 2")));
  Outcome again = Run({"create", "--family", "windows", "web01"});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_THAT(again.out, HasSubstr("client id 1"));

  Outcome list = Run({"list"});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_THAT(list.out, AllOf(HasSubstr("\"web01\""), HasSubstr("\"db01\""),
                              HasSubstr("21"), HasSubstr("\"lab\"")));
  EXPECT_EQ(LinesWith(list.out, "\"web01\"").size(), 1u)
      << "the second run must refresh, not add: " << list.out;
}

TEST_F(QzclientsTest, AgentlessClientsAreMarked) {
  Outcome created =
      Run({"create", "--agentless", "--family", "unix", "cam01", "cam02"});
  EXPECT_EQ(created.exitCode, 0) << created.err;
  Outcome list = Run({"list"});
  EXPECT_THAT(list.out, HasSubstr("yes"));
  EXPECT_THAT(list.out, Not(HasSubstr(" no ")));
}

TEST_F(QzclientsTest, MapsTheJsonInventoryAndReportsTheMachineWithoutName) {
  Outcome mapped =
      Run({"map-vms", "--inventory", kSource + "/examples/inventory.json"});
  // The inventory's machine without a name cannot become a client.
  EXPECT_EQ(mapped.exitCode, 1) << mapped.err;
  EXPECT_THAT(mapped.out,
              AllOf(HasSubstr("\"4c4c4544-0031-3510-8052-b7c04f4d3732\""),
                    HasSubstr("\"web_server_1\""),
                    HasSubstr("\"4c4c4544-0042-3510-8052-b7c04f4d3732\""),
                    HasSubstr("not created")));

  Outcome machineList =
      Run({"map-vms", "--machine-list", "--group", "lab", "--packages",
           "--installer-flags", "-1", "--inventory",
           kSource + "/examples/inventory.json"});
  EXPECT_EQ(machineList.exitCode, 1) << machineList.err;
  EXPECT_THAT(machineList.out, AllOf(HasSubstr("\"vm-1032\""),
                                     HasSubstr("\"db_primary_5432\"")));
}

TEST_F(QzclientsTest, MapsTheDomainsOfLibvirtsTestDriver) {
  const std::string uri = "test://" + kSource + "/examples/libvirt-domains.xml";
  Outcome mapped = Run({"map-vms", "--libvirt", uri});
  EXPECT_EQ(mapped.exitCode, 0) << mapped.err;
  const std::vector<std::string> build =
      LinesWith(mapped.out, "\"7d3c1a60-5c2e-4f2a-9b61-000000000004\"");
  ASSERT_EQ(build.size(), 1u) << mapped.out;
  EXPECT_THAT(build[0], HasSubstr("\"build-01.lab\""));
  EXPECT_EQ(LinesWith(mapped.out, "7d3c1a60-5c2e-4f2a-9b61-").size(), 5u);
  EXPECT_EQ(mapped.err, "");

  Outcome missing = Run({"map-vms", "--libvirt", "test:///no/such/file.xml"});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_THAT(missing.err, HasSubstr("/no/such/file.xml"));
}

TEST_F(QzclientsTest, DryRunPrintsTheRequestAndSubmitsNothing) {
  Outcome dry = Run({"create", "--dry-run", "--family", "unix", "web01"});
  EXPECT_EQ(dry.exitCode, 0) << dry.err;
  EXPECT_THAT(dry.out, AllOf(StartsWith("<"), HasSubstr("web01")));
  Outcome list = Run({"list"});
  EXPECT_THAT(list.out, Not(HasSubstr("web01")));
}

TEST_F(QzclientsTest, ExitCodesNameWhatWasWrong) {
  const struct {
    std::vector<std::string> args;
    int exitCode;
    const char* message;
  } kCases[] = {
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
  };
  for (const auto& c : kCases) {
    Outcome outcome = Run(c.args);
    EXPECT_EQ(outcome.exitCode, c.exitCode) << c.message;
    EXPECT_THAT(outcome.err, HasSubstr(c.message));
  }
  Outcome badCatalogue =
      Run({"--catalogue", "/no/such/dir/catalogue.db", "list"}, false);
  EXPECT_EQ(badCatalogue.exitCode, 2);
  EXPECT_THAT(badCatalogue.err, HasSubstr("/no/such/dir/catalogue.db"));
}

TEST_F(QzclientsTest, EveryCommandHasHelp) {
  for (const char* command : {"create", "map-vms", "list"}) {
    Outcome help = Run({command, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_THAT(help.out,
                StartsWith(std::string("usage: qzclients ") + command));
  }
  Outcome help = Run({"--help"}, false);
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_THAT(help.out, HasSubstr("exit codes"));
}

}  // namespace
