#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "QZClientCreation.h"
#include "creation_probe.h"
#include "sim/qzsim.h"
#include "test_support.h"

namespace qztest {
namespace {

using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;

using AgentLessProbe = Exposed<AgentLessClientCreation>;
using VmProbe = Exposed<VirtualDiscoveredClientCreation>;

class AgentLessClientCreationTest : public ::testing::Test {
 protected:
  void SetUp() override { qzsim::reset(); }

  AgentLessProbe probe;
};

// The agentless builders, and the virtual-machine name lists asked for a
// package, give every client the family's agent package. For a family
// without one they build nothing, keep the error state and look nothing up,
// though the group is stored first. Unasked, a name list gets no package.
TEST(AgentPackageTest, FamilyChoosesTheAgentPackage) {
  const auto row = [](bool ok, auto& built) {
    std::string out = std::string(ok ? "built" : "refused") + " [" +
                      built.clientGroupName + "] " +
                      std::to_string(built.errorCode);
    for (const std::string& components : Packages(built.request))
      out += " " + components;
    return out + "\n";
  };
  const std::pair<TMMsg::InstallOSType, long long> families[] = {
      {TMMsg::INSTALL_OS_WINDOWS, 402},
      {TMMsg::INSTALL_OS_UNIX, 1123},
      {TMMsg::INSTALL_OS_ANY, 0},
      {static_cast<TMMsg::InstallOSType>(2), 0}};
  for (const auto& [family, package] : families) {
    qzsim::reset();
    AgentLessProbe one, grouped, many;
    VmProbe listed, listedInGroup, unasked;
    for (QZClientCreation* c : std::initializer_list<QZClientCreation*>{
             &one, &grouped, &many, &listed, &listedInGroup, &unasked})
      c->setErrorCode(9);
    const std::vector<std::string> two = {"a", "b"};
    const bool ok[] = {one.Initialize("web01", family),
                       grouped.Initialize("web01", "g1", family),
                       many.Initialize(two, "g2", family),
                       listed.Initialize(two, family, true),
                       listedInGroup.Initialize(two, "g3", family, true),
                       unasked.Initialize(two, family, false)};
    // What a builder of `clients` clients in `group` should leave.
    const auto want = [package = package](const std::string& group,
                                          int clients) {
      if (package == 0) return "refused [" + group + "] 9\n";
      std::string out = "built [" + group + "] 0";
      for (int i = 0; i < clients; ++i) out += " " + FlatComponents({package});
      return out + "\n";
    };
    EXPECT_EQ(row(ok[0], one) + row(ok[1], grouped) + row(ok[2], many) +
                  row(ok[3], listed) + row(ok[4], listedInGroup) +
                  row(ok[5], unasked),
              want("", 1) + want("g1", 1) + want("g2", 2) + want("", 2) +
                  want("g3", 2) + "built [] 0 Components { } Components { }\n")
        << family;
    EXPECT_EQ(RenderLog().empty() && RenderCalls().empty(), package == 0);
  }
}

// The object keeps the last failure's code and the last text that came
// with one; a zero code is no failure, whatever text comes with it. Id 0 is
// passed over by Execute's adjustment but marked; a negative 32-bit id is
// widened with its sign.
TEST_F(AgentLessClientCreationTest, MarksTheClientsThatDidNotFail) {
  for (long long id : {11, 42, 13, 6}) Seed("c" + std::to_string(id), 116, id);
  Answer(MakeSetup({MakeComposition("a", 11),
                    MakeComposition("b", 42, MakeError(77, std::string("%s"))),
                    MakeComposition("bad", 5, MakeError(9, std::nullopt)),
                    MakeComposition("c", 13),
                    MakeComposition("ok", 6, MakeError(0, std::string("x"))),
                    MakeComposition("zero", 0),
                    MakeComposition("wide", 0xFFFFFFFELL)}));
  ASSERT_TRUE(probe.Initialize(std::vector<std::string>{"a", "b", "c"}, "",
                               TMMsg::INSTALL_OS_WINDOWS));
  probe.osType = TMMsg::INSTALL_OS_ANY;  // leaves Execute nothing to adjust

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
  std::string calls;
  for (std::string id : {"11", "13", "6", "0", "18446744073709551614"}) {
    calls += "ClientProperties(id=" + id + ")\nsetMiniSRMAgentClient(id=" + id +
             ",true)\n";
  }
  EXPECT_EQ(RenderCalls(), calls);
  for (long long id : {11, 13, 6, 42}) {
    EXPECT_EQ(qzsim::findClient(id)->agentless, id != 42);
  }
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
}  // namespace qztest
