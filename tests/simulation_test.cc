// The simulated installation behind the platform stand-ins: its catalogue,
// the client, group and property handles, platform facts, the logger and the
// embedded central server.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "host/client_catalogue.h"
#include "host/ev_debug.h"
#include "host/install_client.h"
#include "host/platform_facts.h"
#include "messages/records.h"
#include "sim/qzsim.h"
#include "test_support.h"

namespace {

using QzEntities::ClientEntity;
using QzEntities::ClientGroupEntity;
using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;
using QZInstallManager::RSClientInfo;
using QZInstallManager::SIMError;
using qzmsg::Get;
using qzmsg::Set;
using qzsim::ClientRecord;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

// Every field of a catalogue record on one line, for comparing whole.
std::string Describe(const std::optional<ClientRecord>& client) {
  if (!client) return "none";
  std::string groups;
  for (const std::string& group : client->groups) groups += group + ";";
  return std::to_string(client->id) + " " + client->name +
         " host=" + client->hostName + " os=" + std::to_string(client->osId) +
         (client->deleted ? " deleted" : "") +
         " ports=" + std::to_string(client->evmgrcPort) + "/" +
         std::to_string(client->qzdPort) + " dir=" + client->installDirectory +
         "(" + std::to_string(client->installDirectoryKind) + ")" +
         (client->agentless ? " agentless" : "") + " groups=" + groups;
}

std::string DescribeAll() {
  std::string out;
  for (const ClientRecord& client : qzsim::clients()) {
    out += Describe(client) + "\n";
  }
  return out;
}

ClientRecord Named(const std::string& name, long long id = 0,
                   bool deleted = false) {
  ClientRecord client;
  client.id = id;
  client.name = name;
  client.deleted = deleted;
  return client;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// A path of its own in the test's temporary directory, removed first.
std::string TempPath(const std::string& name) {
  const std::string path =
      testing::TempDir() + "qzsim_" + std::to_string(getpid()) + "_" + name;
  std::remove(path.c_str());
  return path;
}

class SimulationTest : public testing::Test {
 protected:
  void SetUp() override { qzsim::reset(); }
  void TearDown() override { qzsim::reset(); }  // lets go of any file
};

using CatalogueTest = SimulationTest;
using ClientStandInTest = SimulationTest;
using PlatformFactsTest = SimulationTest;
using LoggerTest = SimulationTest;
using EmbeddedServerTest = SimulationTest;

TEST_F(CatalogueTest, AddClientKeepsFreeIdsAndAssignsTheNextOtherwise) {
  EXPECT_EQ(1, qzsim::addClient(Named("a")));
  EXPECT_EQ(10, qzsim::addClient(Named("b", 10)));
  EXPECT_EQ(5, qzsim::addClient(Named("c", 5)));
  EXPECT_EQ(11, qzsim::addClient(Named("d", 10)));
  EXPECT_EQ(12, qzsim::addClient(Named("e")));
  std::vector<std::string> stored;
  for (const ClientRecord& client : qzsim::clients()) {
    stored.push_back(std::to_string(client.id) + client.name);
  }
  EXPECT_THAT(stored, ElementsAre("1a", "5c", "10b", "11d", "12e"));
}

TEST_F(CatalogueTest, RecordsRoundTripEveryField) {
  ClientRecord client{42,          "web01", "web01.example.com", 21, true,
                      5000,        5001,    "/opt/qz",           3,  true,
                      {"g1", "g2"}};
  const std::string expected = Describe(client);
  ASSERT_EQ(42, qzsim::addClient(client));
  EXPECT_EQ(expected, Describe(qzsim::findClient(42)));
  EXPECT_EQ(expected, Describe(qzsim::findClientByName("web01")));
  EXPECT_EQ(expected + "\n", DescribeAll());
  EXPECT_EQ("none", Describe(qzsim::findClient(43)));
}

TEST_F(CatalogueTest, NamesIgnoreAsciiCaseOnlyAndPreferLiveClients) {
  qzsim::addClient(Named("Web01", 2));
  qzsim::addClient(Named("WEB01", 30, /*deleted=*/true));
  qzsim::addClient(Named("caf\xC3\xA9", 3));
  qzsim::addClient(Named("\xE9t\xE9", 4));
  qzsim::addClient(Named("db", 5, true));
  qzsim::addClient(Named("DB", 6, true));

  auto idOf = [](const std::string& name) {
    const auto client = qzsim::findClientByName(name);
    return client ? client->id : 0;
  };
  EXPECT_EQ(2, idOf("wEB01"));
  EXPECT_EQ(3, idOf("CAF\xC3\xA9"));
  EXPECT_EQ(0, idOf("CAF\xC3\x89"));
  EXPECT_EQ(4, idOf("\xE9T\xE9"));
  EXPECT_EQ(0, idOf("\xC9t\xC9"));
  EXPECT_EQ(6, idOf("Db"));  // the most recent deleted one
}

TEST_F(ClientStandInTest, OpenedByNameReportsWhatTheCatalogueHolds) {
  ClientRecord live = Named("web01", 7);
  live.hostName = "web01.example.com";
  qzsim::addClient(live);
  qzsim::addClient(Named("old01", 8, /*deleted=*/true));

  std::string seen;
  for (const char* name : {"WEB01", "old01", "nobody"}) {
    QZClient client(name, QZ_NAME_TYPE_CLIENT_NAME, 0, nullptr);
    unsigned long long id = 0;
    bool deleted = false;
    std::string host = "unset";
    const int found = client.getClientId(id, nullptr);
    client.isDeleted(deleted, nullptr);
    client.getNetworkHostname(host, nullptr);
    seen += std::string(name) + ": " + (found == 0 ? "found " : "missing ") +
            std::to_string(id) + (deleted ? " deleted " : " live ") + host +
            "\n";
  }
  EXPECT_EQ(
      "WEB01: found 7 live web01.example.com\n"
      "old01: found 8 deleted \n"
      "nobody: missing 0 live unset\n",
      seen);
}

TEST_F(ClientStandInTest, ChangesReachTheCatalogueInJournalledOrder) {
  ClientRecord stored = Named("web01", 7);
  stored.evmgrcPort = 5000;
  stored.qzdPort = 5001;
  stored.groups = {"g1"};
  qzsim::addClient(stored);
  unsigned long long id = 0;
  EXPECT_EQ(0, QZClient("web01", QZ_NAME_TYPE_CLIENT_NAME, 0, nullptr)
                   .getClientId(id, nullptr));
  {
    QZClient client(id);
    int osId = 0;
    EXPECT_EQ(0, client.getOperatingSystemId(osId, nullptr));
    EXPECT_EQ(116, osId);
    EXPECT_EQ(0, client.lookup(nullptr));
    client.setevmgrcPort(0);
    client.setQZDPort(0);
    client.setInstallDirectory("N/A", 4);
    client.setOperatingSystemId(21);
    EXPECT_EQ(0, client.modify(nullptr));
  }
  EXPECT_EQ(0, QZClientGroup(2, "g").create(nullptr));
  EXPECT_EQ(0, ClientProperties(7).setMiniSRMAgentClient(true, nullptr));

  EXPECT_EQ("7 web01 host= os=21 ports=0/0 dir=N/A(4) agentless groups=g1;",
            Describe(qzsim::findClient(7)));
  EXPECT_EQ(
      "QZClient(name=web01)\n"
      "getClientId\n"
      "QZClient(id=7)\n"
      "getOperatingSystemId(id=7)\n"
      "lookup\n"
      "setevmgrcPort(0)\n"
      "setQZDPort(0)\n"
      "setInstallDirectory(N/A,4)\n"
      "setOperatingSystemId(21)\n"
      "modify\n"
      "QZClientGroup(realm=2,name=g)\n"
      "create\n"
      "ClientProperties(id=7)\n"
      "setMiniSRMAgentClient(id=7,true)\n",
      qztest::RenderCalls());
}

TEST_F(ClientStandInTest, FailedChangesLeaveTheCatalogueAlone) {
  qzsim::addClient(Named("web01", 7));
  const std::string before = DescribeAll();
  QZClient notLookedUp(7);
  notLookedUp.setOperatingSystemId(21);
  EXPECT_NE(0, notLookedUp.modify(nullptr));
  QZClient unknown(99);
  EXPECT_NE(0, unknown.lookup(nullptr));
  unknown.setOperatingSystemId(21);
  EXPECT_NE(0, unknown.modify(nullptr));
  EXPECT_NE(0, ClientProperties(99).setMiniSRMAgentClient(true, nullptr));
  EXPECT_EQ(before, DescribeAll());
}

TEST_F(ClientStandInTest, GroupCreateReportsExistingGroupsPerRealm) {
  EXPECT_EQ(0, QZClientGroup(2, "g").create(nullptr));
  EXPECT_EQ(1, QZClientGroup(2, "g").create(nullptr));
  EXPECT_EQ(0, QZClientGroup(3, "g").create(nullptr));
  qzsim::setGroupCreateResult(9);
  EXPECT_EQ(9, QZClientGroup(2, "forced").create(nullptr));

  std::vector<std::string> groups;
  for (const qzsim::GroupRecord& group : qzsim::groups()) {
    groups.push_back(std::to_string(group.realmId) + ":" + group.name);
  }
  EXPECT_THAT(groups, ElementsAre("2:g", "3:g"));
}

TEST_F(PlatformFactsTest, HostNameIsCopiedTruncatedOrRefused) {
  char buffer[8];
  auto call = [&buffer](int size) {
    std::memset(buffer, '#', sizeof buffer);
    const int result = QZPI_PlatformBase().getRealmServerHostName(buffer, size);
    return std::to_string(result != 0) + ":" +
           std::string(buffer, sizeof buffer);
  };
  qzsim::setRealmServerHostName("cs.local");  // eight bytes with no room
  EXPECT_EQ(std::string("1:cs.loca\0", 10), call(8));
  EXPECT_EQ(std::string("1:cs.\0####", 10), call(4));
  EXPECT_EQ(std::string("1:\0#######", 10), call(1));
  EXPECT_EQ("0:########", call(0));
  EXPECT_EQ("0:########", call(-1));
  qzsim::setRealmServerHostName("cs");
  EXPECT_EQ(std::string("1:cs\0#####", 10), call(8));
  qzsim::setRealmServerHostName(std::nullopt);
  EXPECT_EQ("0:########", call(8));
}

TEST_F(PlatformFactsTest, FactsFollowTheSetters) {
  EXPECT_STREQ("qzcs01", QZPI_PlatformBase().getRealmServerClientName());
  qzsim::setRealmServerClientName("central");
  qzsim::setFocus("Instance042");
  qzsim::setRealmId(0);
  EXPECT_STREQ("central", QZPI_PlatformBase().getRealmServerClientName());
  EXPECT_STREQ("Instance042", QZPI_Focus::getFocus());
  EXPECT_EQ(0, QZPI_RealmServer().getRealmId());
  qzsim::setRealmId(17);
  EXPECT_EQ(17, QZPI_RealmServer().getRealmId());
}

TEST_F(LoggerTest, EveryKindIsCapturedFullyFormatted) {
  EvDebug log(nullptr);
  log.Debug("T::a", "name %s id %d", "web01", -3);
  log.DebugLvl("T::b", 2, "id[%lu]", 18446744073709551615UL);
  log.Error("T::c", "failed %s", "");
  log.debug("plain %d%%", 100);
  EXPECT_EQ(
      "Debug T::a |name web01 id -3|\n"
      "DebugLvl(2) T::b |id[18446744073709551615]|\n"
      "Error T::c |failed |\n"
      "debug |plain 100%|\n",
      qztest::RenderLog());
}

TEST_F(LoggerTest, LongLinesAndPercentSignsInDataSurvive) {
  const std::string longText(70 * 1024, 'x');
  const std::string data = "100%s%n%d";
  EvDebug(nullptr).Debug("T", "[%s]", longText.c_str());
  EvDebug(nullptr).debug("%s", data.c_str());
  const std::vector<qzsim::LogLine> lines = qzsim::logLines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("[" + longText + "]", lines[0].text);
  EXPECT_EQ(data, lines[1].text);
  qzsim::clearLog();
  EXPECT_TRUE(qzsim::logLines().empty());
}

TEST_F(LoggerTest, LogFileGetsLinesAppended) {
  const std::string path = TempPath("log.txt");
  std::ofstream(path) << "earlier\n";
  qzsim::setLogFile(path);
  EvDebug(nullptr).DebugLvl("T", 1, "a %d", 1);
  EvDebug(nullptr).debug("b");
  qzsim::setLogFile("");
  EvDebug(nullptr).debug("not in the file");
  EXPECT_EQ("earlier\nDebugLvl(1) T: a 1\ndebug: b\n", ReadFile(path));
  std::remove(path.c_str());
}

struct Wanted {
  std::string name;
  std::string host;
  std::vector<std::string> groups;
  std::string vmGuid;
};

ClientSetup Request(const std::vector<Wanted>& clients,
                    const std::string& server = "qzcs01",
                    long long setupKind = 0) {
  ClientEntity serverClient;
  Set(serverClient, ClientEntity::kClientName, server);
  RSClientInfo serverInfo;
  Set(serverInfo, RSClientInfo::kServerClient, serverClient);
  std::vector<CNMessageBase> compositions;
  for (const Wanted& wanted : clients) {
    ClientEntity entity;
    Set(entity, ClientEntity::kClientName, wanted.name);
    Set(entity, ClientEntity::kHostName, wanted.host);
    App::Client client;
    Set(client, App::Client::kClientEntity, entity);
    App::ClientInfo info;
    Set(info, App::ClientInfo::kClient, client);
    std::vector<CNMessageBase> groups;
    for (const std::string& name : wanted.groups) {
      ClientGroupEntity group;
      Set(group, ClientGroupEntity::kClientGroupName, name);
      groups.push_back(group);
    }
    if (!groups.empty()) Set(info, App::ClientInfo::kClientGroups, groups);
    App::ClientProps props;
    Set(props, App::ClientProps::kVmGuid, wanted.vmGuid);
    Set(info, App::ClientInfo::kClientProps, props);
    ClientsComposition composition;
    Set(composition, ClientsComposition::kClientInfo, info);
    compositions.push_back(composition);
  }
  ClientSetup setup;
  Set(setup, ClientSetup::kSetupKind, setupKind);
  Set(setup, ClientSetup::kServerClientInfo, serverInfo);
  Set(setup, ClientSetup::kClientCompositions, compositions);
  return setup;
}

CNMessageBase& Composition(CNMessageBase& setup, std::size_t position) {
  return Get(setup, ClientSetup::kClientCompositions).at(position);
}

CNMessageBase& EntityOf(CNMessageBase& setup, std::size_t position) {
  return Get(
      Get(Get(Composition(setup, position), ClientsComposition::kClientInfo),
          App::ClientInfo::kClient),
      App::Client::kClientEntity);
}

// The request as the embedded server should answer it: the given ids filled.
std::string Answered(ClientSetup request, const std::vector<long long>& ids) {
  for (std::size_t i = 0; i < ids.size(); ++i) {
    Set(EntityOf(request, i), ClientEntity::kClientId, ids[i]);
  }
  return qzsim::render(request);
}

TEST_F(EmbeddedServerTest, CreatesNewClientsAndEchoesTheRequest) {
  ClientSetup request =
      Request({{"web01", "web01.example.com", {"g1", "g2"}, "guid-1"},
               {"web02", "h2", {}, "guid-2,x"}});
  const std::string sent = qzsim::render(request);
  ClientSetup* response = nullptr;
  ASSERT_EQ(0, ProcessClientSetupRequest(&request, &response));
  ASSERT_NE(nullptr, response);

  EXPECT_EQ(Answered(request, {1, 2}), qzsim::render(*response));
  EXPECT_EQ(sent, qzsim::render(request));
  EXPECT_EQ(
      "1 web01 host=web01.example.com os=116 ports=0/0 dir=(0) groups=g1;g2;\n"
      "2 web02 host=h2 os=116 ports=0/0 dir=(0) groups=\n",
      DescribeAll());

  Set(request, ClientSetup::kFocusName, "changed after submitting");
  const std::vector<ClientSetup> submitted = qzsim::submittedRequests();
  ASSERT_EQ(1u, submitted.size());
  EXPECT_EQ(sent, qzsim::render(submitted[0]));
}

TEST_F(EmbeddedServerTest, RefreshesLiveClientsAndReplacesDeletedOnes) {
  ClientRecord live = Named("WEB01", 7);
  live.hostName = "old.example.com";
  live.osId = 21;
  live.groups = {"g1"};
  qzsim::addClient(live);
  qzsim::addClient(Named("web02", 9, /*deleted=*/true));

  ClientSetup request = Request({{"web01", "new.example.com", {"g2", "g1"}, ""},
                                 {"web02", "h2", {}, ""}});
  ClientSetup* response = nullptr;
  ASSERT_EQ(0, ProcessClientSetupRequest(&request, &response));
  ASSERT_NE(nullptr, response);
  EXPECT_EQ(Answered(request, {7, 10}), qzsim::render(*response));
  EXPECT_EQ(
      "7 WEB01 host=new.example.com os=21 ports=0/0 dir=(0) groups=g1;g2;\n"
      "9 web02 host= os=116 deleted ports=0/0 dir=(0) groups=\n"
      "10 web02 host=h2 os=116 ports=0/0 dir=(0) groups=\n",
      DescribeAll());
}

TEST_F(EmbeddedServerTest, RefusedRequestsChangeNothing) {
  struct Case {
    const char* what;
    ClientSetup request;
    long long setupError;
    long long clientError;
  };
  const std::vector<Case> cases = {
      {"empty client name", Request({{"", "h", {}, ""}}), 0,
       qzsim::kEmptyClientNameError},
      {"another server", Request({{"web01", "h", {}, ""}}, "qzcs02"),
       qzsim::kForeignServerError, 0},
      {"unknown setup kind", Request({{"web01", "h", {}, ""}}, "qzcs01", 7),
       qzsim::kUnknownSetupKindError, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClientSetup request = c.request;
    ClientSetup* response = nullptr;
    ASSERT_EQ(0, ProcessClientSetupRequest(&request, &response));
    ASSERT_NE(nullptr, response);
    EXPECT_EQ(c.setupError, Get(Get(*response, ClientSetup::kSetupError),
                                SIMError::kErrorCode));
    EXPECT_EQ(c.clientError, Get(Get(Composition(*response, 0),
                                     ClientsComposition::kClientError),
                                 SIMError::kErrorCode));
    EXPECT_FALSE(qzmsg::IsSet(EntityOf(*response, 0), ClientEntity::kClientId));
    EXPECT_EQ("", DescribeAll());
  }
}

// The request crosses to the server as XML; one that cannot is refused
// whole instead of reaching the catalogue.
TEST_F(EmbeddedServerTest, RequestThatCannotCrossTheWireIsRefused) {
  ClientSetup request = Request({{"web01", "h", {}, ""}});
  Get(request, ClientSetup::kClientCompositions).push_back(CNMessageBase(5, 5));
  ClientSetup* response = nullptr;
  ASSERT_EQ(0, ProcessClientSetupRequest(&request, &response));
  ASSERT_NE(nullptr, response);
  EXPECT_EQ(
      qzsim::kMalformedRequestError,
      Get(Get(*response, ClientSetup::kSetupError), SIMError::kErrorCode));
  EXPECT_THAT(
      Get(Get(*response, ClientSetup::kSetupError), SIMError::kErrorString),
      HasSubstr("Malformed request"));
  EXPECT_EQ("", DescribeAll());
}

TEST_F(EmbeddedServerTest, ScriptedHandlerAnswersUntilSwitchedBack) {
  std::vector<std::string> received;
  int status = 5;
  std::optional<ClientSetup> answer = Request({}, "scripted");
  qzsim::setInstallHandler(
      [&](const ClientSetup& request, std::optional<ClientSetup>& response) {
        received.push_back(qzsim::render(request));
        response = answer;
        return status;
      });
  ClientSetup request = Request({{"web01", "h", {}, ""}});
  ClientSetup* response = nullptr;
  EXPECT_EQ(5, ProcessClientSetupRequest(&request, &response));
  ASSERT_NE(nullptr, response);
  EXPECT_EQ(qzsim::render(*answer), qzsim::render(*response));

  answer.reset();
  status = 0;
  response = nullptr;
  EXPECT_EQ(0, ProcessClientSetupRequest(&request, &response));
  EXPECT_EQ(nullptr, response);
  EXPECT_THAT(received,
              ElementsAre(qzsim::render(request), qzsim::render(request)));
  EXPECT_EQ("", DescribeAll());

  qzsim::useEmbeddedServer();
  EXPECT_EQ(0, ProcessClientSetupRequest(&request, &response));
  ASSERT_NE(nullptr, response);
  EXPECT_EQ(Answered(request, {1}), qzsim::render(*response));
  EXPECT_EQ(2u, received.size());
  EXPECT_EQ(3u, qzsim::submittedRequests().size());
}

TEST_F(CatalogueTest, FileCatalogueKeepsClientsAcrossReopening) {
  const std::string path = TempPath("catalogue.db");
  qzsim::openCatalogue(path);
  qzsim::addClient(Named("seeded", 3));
  ClientSetup request = Request({{"web01", "h", {"g"}, ""}});
  ClientSetup* response = nullptr;
  ASSERT_EQ(0, ProcessClientSetupRequest(&request, &response));
  const std::string stored = DescribeAll();
  ASSERT_EQ(
      "3 seeded host= os=116 ports=0/0 dir=(0) groups=\n"
      "4 web01 host=h os=116 ports=0/0 dir=(0) groups=g;\n",
      stored);

  qzsim::reset();
  EXPECT_EQ("", DescribeAll());
  qzsim::openCatalogue(path);
  EXPECT_EQ(stored, DescribeAll());
  qzsim::reset();
  std::remove(path.c_str());
}

TEST_F(CatalogueTest, UnopenableCatalogueThrowsNamingThePath) {
  const std::string garbage = TempPath("garbage.db");
  std::ofstream(garbage, std::ios::binary) << std::string(4096, '\xAB');
  qzsim::addClient(Named("kept", 1));
  for (const std::string& path : {testing::TempDir(), garbage}) {
    SCOPED_TRACE(path);
    EXPECT_THAT([&] { qzsim::openCatalogue(path); },
                ThrowsMessage<std::runtime_error>(HasSubstr(path)));
    EXPECT_EQ(1u, qzsim::clients().size());
  }
  std::remove(garbage.c_str());
}

}  // namespace
