#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "creation_probe.h"
#include "sim/qzsim.h"
#include "test_support.h"

namespace {

using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;
using qztest::MakeComposition;
using qztest::MakeError;
using qztest::MakeSetup;
using qztest::RenderLog;

constexpr char kEmptySetup[] = "ClientSetup {\n}\n";
constexpr TMMsg::InstallOSType kNoAgentFamily =
    static_cast<TMMsg::InstallOSType>(2);

class AgentLessProbe : public AgentLessClientCreation {
 public:
  using AgentLessClientCreation::clientGroupName;
  using AgentLessClientCreation::request;
};

// The package list a single agent package renders as.
std::string Package(long long packageId) {
  return "Components {\n"
         "  packages: [\n"
         "    PackageInformation {\n"
         "      packageId: " +
         std::to_string(packageId) +
         "\n"
         "      number14: 0\n"
         "    }\n"
         "  ]\n"
         "}\n";
}

// The rendered components of every composition of `request`, in order.
std::vector<std::string> Packages(ClientSetup& request) {
  std::vector<std::string> out;
  for (CNMessageBase& composition :
       qzmsg::Get(request, ClientSetup::kClientCompositions)) {
    out.push_back(qzsim::render(
        qzmsg::Get(composition, ClientsComposition::kComponents)));
  }
  return out;
}

// Every journal entry after the first `skip`, one per line.
std::string CallsAfter(std::size_t skip) {
  const std::vector<std::string> calls = qzsim::catalogueCalls();
  std::string out;
  for (std::size_t i = skip; i < calls.size(); ++i) out += calls[i] + "\n";
  return out;
}

long long Seed(const std::string& name, long long id) {
  qzsim::ClientRecord client;
  client.id = id;
  client.name = name;
  client.osId = 7;  // an installed agent: Execute leaves it alone
  return qzsim::addClient(client);
}

class AgentLessClientCreationTest : public ::testing::Test {
 protected:
  void SetUp() override { qzsim::reset(); }

  // The install service answers with `reply`, status 0.
  static void Answer(const ClientSetup& reply) {
    qzsim::setInstallHandler(
        [reply](const ClientSetup&, std::optional<ClientSetup>& out) {
          out = reply;
          return 0;
        });
  }

  AgentLessProbe probe;
};

TEST_F(AgentLessClientCreationTest, FamilyChoosesTheAgentPackage) {
  struct Case {
    TMMsg::InstallOSType family;
    long long package;
  };
  for (const Case& c : {Case{TMMsg::INSTALL_OS_WINDOWS, 402},
                        Case{TMMsg::INSTALL_OS_UNIX, 1123}}) {
    SCOPED_TRACE(c.family);
    AgentLessProbe one;
    ASSERT_TRUE(one.Initialize("web01", c.family));
    EXPECT_EQ(Packages(one.request),
              std::vector<std::string>{Package(c.package)});

    AgentLessProbe grouped;
    ASSERT_TRUE(grouped.Initialize("web01", "g", c.family));
    EXPECT_EQ(Packages(grouped.request),
              std::vector<std::string>{Package(c.package)});

    AgentLessProbe many;
    ASSERT_TRUE(
        many.Initialize(std::vector<std::string>{"a", "b"}, "g", c.family));
    EXPECT_EQ(Packages(many.request),
              std::vector<std::string>(2, Package(c.package)));
  }
}

TEST_F(AgentLessClientCreationTest, OtherFamiliesBuildNothing) {
  probe.setErrorCode(9);
  probe.setErrorString("old");
  EXPECT_FALSE(probe.Initialize("web01", kNoAgentFamily));
  EXPECT_EQ(qzsim::render(probe.request), kEmptySetup);
  EXPECT_EQ(probe.clientGroupName, "");
  EXPECT_EQ(probe.getErrorCode(), 9u);
  EXPECT_EQ(probe.getErrorString(), "old");

  // Both overloads with a group store it before looking at the family.
  AgentLessProbe grouped;
  EXPECT_FALSE(grouped.Initialize("web01", "g1", kNoAgentFamily));
  EXPECT_EQ(grouped.clientGroupName, "g1");
  EXPECT_EQ(qzsim::render(grouped.request), kEmptySetup);

  AgentLessProbe many;
  EXPECT_FALSE(
      many.Initialize(std::vector<std::string>{"a"}, "g2", kNoAgentFamily));
  EXPECT_EQ(many.clientGroupName, "g2");
  EXPECT_EQ(qzsim::render(many.request), kEmptySetup);

  // Nothing was looked up, created or logged on the way.
  EXPECT_TRUE(qzsim::catalogueCalls().empty());
  EXPECT_TRUE(qzsim::groups().empty());
  EXPECT_EQ(RenderLog(), "");
}

TEST_F(AgentLessClientCreationTest, MarksTheClientsThatDidNotFail) {
  Seed("a", 11);
  Seed("b", 42);
  Seed("c", 13);
  Answer(MakeSetup({MakeComposition("a", 11),
                    MakeComposition("b", 42, MakeError(77, std::string("%s"))),
                    MakeComposition("c", 13)}));
  ASSERT_TRUE(probe.Initialize(std::vector<std::string>{"a", "b", "c"}, "",
                               TMMsg::INSTALL_OS_WINDOWS));
  const std::size_t before = qzsim::catalogueCalls().size();

  EXPECT_TRUE(probe.Execute());
  EXPECT_EQ(probe.getErrorCode(), 77u);
  EXPECT_EQ(probe.getErrorString(), "%s");
  EXPECT_EQ(RenderLog(),
            "debug |Failed to create the client for [b]|\n"
            "debug |ProcessClientSetupRequest Failed with errorCode [77] |\n"
            "debug |Error string [%s]|\n"
            "debug |ProcessClientSetupRequest Failed with errorCode [77] for "
            "client 42 |\n"
            "debug |Error string [%s]|\n");
  EXPECT_EQ(CallsAfter(before),
            "QZClient(id=11)\ngetOperatingSystemId(id=11)\n"
            "QZClient(id=42)\ngetOperatingSystemId(id=42)\n"
            "QZClient(id=13)\ngetOperatingSystemId(id=13)\n"
            "ClientProperties(id=11)\nsetMiniSRMAgentClient(id=11,true)\n"
            "ClientProperties(id=13)\nsetMiniSRMAgentClient(id=13,true)\n");
  EXPECT_TRUE(qzsim::findClient(11)->agentless);
  EXPECT_FALSE(qzsim::findClient(42)->agentless);
  EXPECT_TRUE(qzsim::findClient(13)->agentless);
}

TEST_F(AgentLessClientCreationTest, FailureWithoutTextWritesOnlyTheCode) {
  Seed("ok", 6);
  // A zero code is no failure, whatever text comes with it.
  Answer(MakeSetup({MakeComposition("bad", 5, MakeError(9, std::nullopt)),
                    MakeComposition("ok", 6, MakeError(0, std::string("x")))}));
  ASSERT_TRUE(probe.Initialize(std::vector<std::string>{"bad", "ok"}, "",
                               TMMsg::INSTALL_OS_UNIX));
  qzsim::clearLog();

  EXPECT_TRUE(probe.Execute());
  EXPECT_EQ(RenderLog(),
            "debug |Failed to create the client for [bad]|\n"
            "debug |ProcessClientSetupRequest Failed with errorCode [9] |\n"
            "debug |ProcessClientSetupRequest Failed with errorCode [9] for "
            "client 5 |\n");
  EXPECT_EQ(probe.getErrorString(), "");
  EXPECT_TRUE(qzsim::findClient(6)->agentless);
}

TEST_F(AgentLessClientCreationTest, ClientsWithoutAUsableIdAreStillMarked) {
  // Id 0 is passed over by Execute's adjustment but not here; a negative
  // 32-bit id is widened with its sign.
  Answer(MakeSetup(
      {MakeComposition("zero", 0), MakeComposition("wide", 0xFFFFFFFELL)}));
  ASSERT_TRUE(probe.Initialize("zero", TMMsg::INSTALL_OS_WINDOWS));
  const std::size_t before = qzsim::catalogueCalls().size();

  EXPECT_TRUE(probe.Execute());
  EXPECT_EQ(CallsAfter(before),
            "QZClient(id=18446744073709551614)\n"
            "getOperatingSystemId(id=18446744073709551614)\n"
            "ClientProperties(id=0)\nsetMiniSRMAgentClient(id=0,true)\n"
            "ClientProperties(id=18446744073709551614)\n"
            "setMiniSRMAgentClient(id=18446744073709551614,true)\n");
}

// Against the embedded server: the clients are created in the group, marked
// agentless and, being pre-declared Windows clients, get operating system 21.
TEST_F(AgentLessClientCreationTest, CreatesAgentlessClientsEndToEnd) {
  AgentLessClientCreation creation;
  ASSERT_TRUE(creation.Initialize(std::vector<std::string>{"web01", "db01"},
                                  "agents", TMMsg::INSTALL_OS_WINDOWS));
  EXPECT_TRUE(creation.Execute());
  EXPECT_EQ(creation.getErrorCode(), 0u);

  const std::vector<qzsim::ClientRecord> clients = qzsim::clients();
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(clients[0].name, "web01");
  EXPECT_EQ(clients[1].name, "db01");
  for (const qzsim::ClientRecord& client : clients) {
    SCOPED_TRACE(client.name);
    EXPECT_EQ(client.hostName, client.name);
    EXPECT_TRUE(client.agentless);
    EXPECT_EQ(client.osId, 21);
    EXPECT_EQ(client.installDirectory, "N/A");
    EXPECT_EQ(client.groups, std::vector<std::string>{"agents"});
  }
  ASSERT_EQ(qzsim::groups().size(), 1u);
  EXPECT_EQ(qzsim::groups()[0].name, "agents");
}

}  // namespace
