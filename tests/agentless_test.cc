#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "QZClientCreation.h"
#include "creation_probe.h"
#include "sim/qzsim.h"
#include "test_support.h"

namespace {

using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;
using qztest::Answer;
using qztest::FailureLog;
using qztest::Flat;
using qztest::FlatComponents;
using qztest::MakeComposition;
using qztest::MakeError;
using qztest::MakeSetup;
using qztest::Packages;
using qztest::RenderCalls;
using qztest::RenderCatalogue;
using qztest::RenderLog;
using qztest::Seed;

constexpr TMMsg::InstallOSType kNoAgentFamily =
    static_cast<TMMsg::InstallOSType>(2);

using AgentLessProbe = qztest::Exposed<AgentLessClientCreation>;

class AgentLessClientCreationTest : public ::testing::Test {
 protected:
  void SetUp() override { qzsim::reset(); }

  AgentLessProbe probe;
};

TEST_F(AgentLessClientCreationTest, FamilyChoosesTheAgentPackage) {
  const std::pair<TMMsg::InstallOSType, long long> families[] = {
      {TMMsg::INSTALL_OS_WINDOWS, 402}, {TMMsg::INSTALL_OS_UNIX, 1123}};
  for (const auto& [family, package] : families) {
    SCOPED_TRACE(family);
    const std::string agent = FlatComponents({package});
    AgentLessProbe one;
    AgentLessProbe grouped;
    AgentLessProbe many;
    ASSERT_TRUE(one.Initialize("web01", family));
    ASSERT_TRUE(grouped.Initialize("web01", "g", family));
    ASSERT_TRUE(
        many.Initialize(std::vector<std::string>{"a", "b"}, "g", family));
    EXPECT_EQ(Packages(one.request), std::vector<std::string>{agent});
    EXPECT_EQ(Packages(grouped.request), std::vector<std::string>{agent});
    EXPECT_EQ(Packages(many.request), std::vector<std::string>(2, agent));
  }
}

TEST_F(AgentLessClientCreationTest, OtherFamiliesBuildNothing) {
  probe.setErrorCode(9);
  probe.setErrorString("old");
  EXPECT_FALSE(probe.Initialize("web01", kNoAgentFamily));
  EXPECT_EQ(probe.clientGroupName, "");
  EXPECT_EQ(probe.getErrorCode(), 9u);
  EXPECT_EQ(probe.getErrorString(), "old");

  // Both overloads with a group store it before looking at the family.
  AgentLessProbe grouped;
  AgentLessProbe many;
  EXPECT_FALSE(grouped.Initialize("web01", "g1", kNoAgentFamily));
  EXPECT_FALSE(
      many.Initialize(std::vector<std::string>{"a"}, "g2", kNoAgentFamily));
  EXPECT_EQ(grouped.clientGroupName, "g1");
  EXPECT_EQ(many.clientGroupName, "g2");
  for (AgentLessProbe* built : {&probe, &grouped, &many}) {
    EXPECT_EQ(Flat(built->request), "ClientSetup { }");
  }
  // Nothing was looked up, created or logged on the way.
  EXPECT_TRUE(qzsim::catalogueCalls().empty());
  EXPECT_TRUE(qzsim::groups().empty());
  EXPECT_EQ(RenderLog(), "");
}

// The object keeps the last failure's code and the last text that came
// with one; a zero code is no failure, whatever text comes with it. Id 0 is
// passed over by Execute's adjustment but marked; a negative 32-bit id is
// widened with its sign.
TEST_F(AgentLessClientCreationTest, MarksTheClientsThatDidNotFail) {
  const std::pair<const char*, long long> seeded[] = {
      {"a", 11}, {"b", 42}, {"c", 13}, {"ok", 6}};
  // Installed agents: Execute's adjustment leaves them alone.
  for (const auto& [name, id] : seeded) Seed(name, 7, id);
  Answer(MakeSetup({MakeComposition("a", 11),
                    MakeComposition("b", 42, MakeError(77, std::string("%s"))),
                    MakeComposition("bad", 5, MakeError(9, std::nullopt)),
                    MakeComposition("c", 13),
                    MakeComposition("ok", 6, MakeError(0, std::string("x"))),
                    MakeComposition("zero", 0),
                    MakeComposition("wide", 0xFFFFFFFELL)}));
  ASSERT_TRUE(probe.Initialize(std::vector<std::string>{"a", "b", "c"}, "",
                               TMMsg::INSTALL_OS_WINDOWS));

  EXPECT_TRUE(probe.Execute());
  EXPECT_EQ(probe.getErrorCode(), 9u);
  EXPECT_EQ(probe.getErrorString(), "%s");
  EXPECT_EQ(
      RenderLog(),
      FailureLog("b", "77", "%s") + FailureLog("bad", "9") +
          "debug |ProcessClientSetupRequest Failed with errorCode [77] for "
          "client 42 |\n"
          "debug |Error string [%s]|\n"
          "debug |ProcessClientSetupRequest Failed with errorCode [9] for "
          "client 5 |\n");
  EXPECT_EQ(RenderCalls(),
            "QZClient(id=11)\ngetOperatingSystemId(id=11)\n"
            "QZClient(id=42)\ngetOperatingSystemId(id=42)\n"
            "QZClient(id=5)\ngetOperatingSystemId(id=5)\n"
            "QZClient(id=13)\ngetOperatingSystemId(id=13)\n"
            "QZClient(id=6)\ngetOperatingSystemId(id=6)\n"
            "QZClient(id=18446744073709551614)\n"
            "getOperatingSystemId(id=18446744073709551614)\n"
            "ClientProperties(id=11)\nsetMiniSRMAgentClient(id=11,true)\n"
            "ClientProperties(id=13)\nsetMiniSRMAgentClient(id=13,true)\n"
            "ClientProperties(id=6)\nsetMiniSRMAgentClient(id=6,true)\n"
            "ClientProperties(id=0)\nsetMiniSRMAgentClient(id=0,true)\n"
            "ClientProperties(id=18446744073709551614)\n"
            "setMiniSRMAgentClient(id=18446744073709551614,true)\n");
  EXPECT_FALSE(qzsim::findClient(42)->agentless);
  for (long long id : {11, 13, 6})
    EXPECT_TRUE(qzsim::findClient(id)->agentless);
}

// Against the embedded server, twice: the clients are created in the group,
// marked agentless and, being pre-declared Windows clients, get operating
// system 21; the server's refusal of the empty name is the object's error.
// The second run finds the same clients.
TEST_F(AgentLessClientCreationTest, CreatesAgentlessClientsEndToEnd) {
  ASSERT_TRUE(probe.Initialize(std::vector<std::string>{"web01", "", "db01"},
                               "agents", TMMsg::INSTALL_OS_WINDOWS));
  for (int run = 0; run < 2; ++run) {
    EXPECT_TRUE(probe.Execute());
    EXPECT_EQ(probe.getErrorCode(),
              static_cast<unsigned long long>(qzsim::kEmptyClientNameError));
    EXPECT_EQ(RenderCatalogue(),
              "1 web01 host web01 os 21 ports 0/0 dir N/A(4) agentless groups "
              "agents\n"
              "2 db01 host db01 os 21 ports 0/0 dir N/A(4) agentless groups "
              "agents\n");
  }
  ASSERT_EQ(qzsim::groups().size(), 1u);
  EXPECT_EQ(qzsim::groups()[0].name, "agents");
}

}  // namespace
