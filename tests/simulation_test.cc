// The simulated installation behind the platform stand-ins: its catalogue,
// the client, group and property handles, platform facts, the logger and the
// embedded central server.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "host/client_catalogue.h"
#include "host/ev_debug.h"
#include "host/install_client.h"
#include "host/platform_facts.h"
#include "messages/records.h"
#include "sim/catalogue.h"
#include "sim/embedded_server.h"
#include "sim/qzsim.h"
#include "test_support.h"

namespace {

using App::ClientInfo;
using QzEntities::ClientEntity;
using QzEntities::ClientGroupEntity;
using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;
using qzmsg::Get;
using qzmsg::Set;
using qzsim::ClientRecord;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Every field of a catalogue record on one line, for comparing whole.
std::string Describe(const std::optional<ClientRecord>& c) {
  if (!c) return "none";
  std::ostringstream out;
  out << c->id << " " << c->name << " host=" << c->hostName << " os=" << c->osId
      << (c->deleted ? " deleted" : "") << " ports=" << c->evmgrcPort << "/"
      << c->qzdPort << " dir=" << c->installDirectory << "("
      << c->installDirectoryKind << ")" << (c->agentless ? " agentless" : "")
      << " groups=";
  for (const std::string& group : c->groups) out << group << ";";
  return out.str();
}

std::string DescribeAll() {
  std::string out;
  for (const ClientRecord& c : qzsim::clients()) out += Describe(c) + "\n";
  return out;
}

ClientRecord Named(const std::string& name, long long id = 0,
                   bool deleted = false) {
  return {id, name, "", 116, deleted, 0, 0, "", 0, false, {}};
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

// Kept in a file, which a reset lets go of and reopening finds again.
TEST_F(CatalogueTest, FileKeepsEveryFieldAndFreeIdsAcrossReopening) {
  const std::string path = TempPath("catalogue.db");
  qzsim::openCatalogue(path);
  const ClientRecord full{10,          "web01", "web01.example.com", 21, true,
                          5000,        5001,    "/opt/qz",           3,  true,
                          {"g1", "g2"}};
  const std::vector<long long> given = {
      qzsim::addClient(Named("a")), qzsim::addClient(full),
      qzsim::addClient(Named("c", 5)), qzsim::addClient(Named("d", 10)),
      qzsim::addClient(Named("e"))};
  EXPECT_THAT(given, ElementsAre(1, 10, 5, 11, 12));
  EXPECT_EQ(Describe(full), Describe(qzsim::findClient(10)));
  EXPECT_EQ(Describe(full), Describe(qzsim::findClientByName("web01")));
  EXPECT_EQ("none", Describe(qzsim::findClient(6)));
  const std::string stored = DescribeAll();
  EXPECT_EQ(Describe(Named("a", 1)) + "\n" + Describe(Named("c", 5)) + "\n" +
                Describe(full) + "\n" + Describe(Named("d", 11)) + "\n" +
                Describe(Named("e", 12)) + "\n",
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
                ::testing::ThrowsMessage<std::runtime_error>(HasSubstr(path)));
    EXPECT_EQ(1u, qzsim::clients().size());
  }
  std::remove(garbage.c_str());
}

// Live before deleted, and among deleted ones the most recent.
TEST_F(CatalogueTest, NamesIgnoreAsciiCaseOnlyAndPreferLiveClients) {
  qzsim::addClient(Named("Web01", 2));
  qzsim::addClient(Named("WEB01", 30, /*deleted=*/true));
  qzsim::addClient(Named("caf\xC3\xA9", 3));
  qzsim::addClient(Named("\xE9t\xE9", 4));
  qzsim::addClient(Named("db", 5, true));
  qzsim::addClient(Named("DB", 6, true));
  std::string ids;  // one digit per name: the id found, 0 for none
  for (const char* name : {"wEB01", "CAF\xC3\xA9", "CAF\xC3\x89", "\xE9T\xE9",
                           "\xC9t\xC9", "Db"}) {
    ids += std::to_string(qzsim::findClientByName(name).value_or(Named("")).id);
  }
  EXPECT_EQ("230406", ids);
}

// Results, in call order, on client 7 of a healthy catalogue, on the
// missing client 99, and on client 7 with every SQLite call failing: 1 for
// no such client (or an existing group), 2 for modify without a lookup, 3
// for a fault, whose reason the journal entry carries. A handle opened by
// name on a failing catalogue, or by a kind of name other than the client's,
// is one of no client. Faults at each single
// call, and that they change nothing, are the fault test's.
TEST_F(ClientStandInTest, CallsReturnTheirDocumentedResults) {
  qzsim::addClient(Named("web01", 7));
  const auto results = [](unsigned long long id) {
    QZClient byName("WEB01", static_cast<QZNameType>(id == 7 ? 1 : 2), 0,
                    nullptr);
    QZClient client(id);
    unsigned long long found = 0;
    int osId = 0;
    const int seen[] = {
        byName.getClientId(found, nullptr),
        client.getOperatingSystemId(osId, nullptr),
        client.modify(nullptr),
        client.lookup(nullptr),
        client.modify(nullptr),
        ClientProperties(id).setMiniSRMAgentClient(true, nullptr),
        QZClientGroup(2, "g").create(nullptr)};
    std::string out;
    for (int result : seen) out += std::to_string(result);
    return out;
  };
  EXPECT_EQ("0020000", results(7));
  EXPECT_EQ("1121211", results(99));
  const std::string before = DescribeAll();
  qzsim::failCatalogueCall(1, SQLITE_FULL, /*persistent=*/true);
  EXPECT_EQ("1323233", results(7));
  qzsim::clearCatalogueFault();
  EXPECT_EQ(before, DescribeAll());
  std::string failed;  // the calls that failed
  std::string why;     // the last one's reason
  for (const std::string& entry : qzsim::catalogueCalls()) {
    const std::size_t mark = entry.find(" [failed: ");
    if (mark == std::string::npos) continue;
    failed += entry.substr(0, mark) + ";";
    why = entry.substr(mark);
  }
  EXPECT_EQ(
      "QZClient(name=WEB01);getOperatingSystemId(id=7);lookup;"
      "setMiniSRMAgentClient(id=7,true);create;",
      failed);
  EXPECT_EQ(" [failed: " + qzsim::lastCatalogueError() + "]", why);
  EXPECT_THAT(why,
              HasSubstr(": begin failed: database or disk is full (full)"));

  // Groups are per realm; a forced failure creates none, and a forced
  // success answers for an existing group.
  EXPECT_EQ(0, QZClientGroup(3, "g").create(nullptr));
  qzsim::setGroupCreateResult(9);
  EXPECT_EQ(9, QZClientGroup(2, "forced").create(nullptr));
  qzsim::setGroupCreateResult(0);
  EXPECT_EQ(0, QZClientGroup(2, "g").create(nullptr));
  std::string groups;
  for (const qzsim::GroupRecord& group : qzsim::groups()) {
    groups += std::to_string(group.realmId) + ":" + group.name + " ";
  }
  EXPECT_EQ("2:g 3:g ", groups);
}

// The test controls throw instead, and leave no transaction open.
TEST_F(ClientStandInTest, FailedAdditionThrowsAndLeavesNothingBehind) {
  const ClientRecord full{0, "a", "h", 116, false, 1, 2, "/d", 3, true, {"g"}};
  for (long long call = 1;; ++call) {
    qzsim::reset();
    qzsim::failCatalogueCall(call, SQLITE_FULL);
    try {
      qzsim::addClient(full);
      break;
    } catch (const std::runtime_error& e) {
      EXPECT_THAT(e.what(), HasSubstr("database or disk is full (full)"));
    }
    EXPECT_EQ("", DescribeAll());
    EXPECT_EQ(1, qzsim::addClient(full));
  }
}

TEST_F(PlatformFactsTest, FactsFollowTheSettersAndHostNamesAreTruncated) {
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
  EXPECT_EQ(0, QZPI_PlatformBase().getRealmServerHostName(nullptr, 8));
  qzsim::setRealmServerHostName("cs");
  EXPECT_EQ(std::string("1:cs\0#####", 10), call(8));
  qzsim::setRealmServerHostName(std::nullopt);
  EXPECT_EQ("0:########", call(8));

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

// Long lines and percent signs in the data come through whole, captured
// and appended to the log file until that is stopped.
TEST_F(LoggerTest, EveryKindIsCapturedFullyFormatted) {
  const std::string data = "100%s%n%d" + std::string(70 * 1024, 'x');
  const std::string path = TempPath("log.txt");
  std::ofstream(path) << "earlier\n";
  qzsim::setLogFile(path);
  EvDebug log(nullptr);
  log.Debug("T", "[%s]", data.c_str());
  log.Debug("T::a", "name %s id %d", "web01", -3);
  log.DebugLvl("T::b", 2, "id[%lu]", 18446744073709551615UL);
  log.Error("T::c", "%s", "");
  log.debug("plain %d%%", 100);
  qzsim::setLogFile("");
  log.debug("not in the file");
  EXPECT_EQ("Debug T |[" + data +
                "]|\nDebug T::a |name web01 id -3|\n"
                "DebugLvl(2) T::b |id[18446744073709551615]|\n"
                "Error T::c ||\ndebug |plain 100%|\n"
                "debug |not in the file|\n",
            qztest::RenderLog());
  std::ifstream file(path, std::ios::binary);
  EXPECT_EQ("earlier\nDebug T: [" + data +
                "]\nDebug T::a: name web01 id -3\n"
                "DebugLvl(2) T::b: id[18446744073709551615]\n"
                "Error T::c: \ndebug: plain 100%\n",
            std::string(std::istreambuf_iterator<char>(file), {}));
  std::remove(path.c_str());
  for (const std::size_t size : {255, 256, 257}) {  // around the first buffer
    log.debug("%s", std::string(size, 'y').c_str());
    EXPECT_EQ(qzsim::logLines().back().text, std::string(size, 'y'));
  }
  // Lines are kept packed; megabytes of them, of every length around the
  // buffer's, come back whole.
  qzsim::clearLog();
  const auto padded = [](int i) {
    const std::string digits = std::to_string(i);
    const std::size_t width = static_cast<std::size_t>(i % 300);
    return std::string(width > digits.size() ? width - digits.size() : 0, '0') +
           digits;
  };
  // Tags too: a tag of its own for every line, more than 16 bits count.
  constexpr int kLines = 70000;
  for (int i = 0; i < kLines; ++i) {
    log.DebugLvl(std::to_string(i).c_str(), i % 3, "%0*d", i % 300, i);
  }
  const std::vector<qzsim::LogLine> lines = qzsim::logLines();
  ASSERT_EQ(static_cast<std::size_t>(kLines), lines.size());
  int wrong = 0;
  for (int i = 0; i < kLines; ++i) {
    wrong += lines[i].level != i % 3 || lines[i].text != padded(i) ||
             lines[i].tag != std::to_string(i);
  }
  EXPECT_EQ(0, wrong);
  qzsim::clearLog();
  EXPECT_TRUE(qzsim::logLines().empty());
}

// Lines come out as the C library would format them, whichever way they
// are written: each case is also formatted by snprintf, and the two texts
// must agree, for the conversions the log uses, their limits, and the ones
// left to the general formatter.
TEST_F(LoggerTest, LinesMatchTheCLibrarysFormatting) {
  const std::string wide(250, 'w');
  const char* volatile none = nullptr;  // the compiler may not see it
  std::vector<std::string> expected;
  const auto both = [&](const char* format, auto... args) {
    char text[1024];
    std::snprintf(text, sizeof text, format, args...);
    expected.emplace_back(text);
    EvDebug(nullptr).debug(format, args...);
  };
  qzsim::clearLog();
  both("VMGUID [%s] -> Name[%s], Client Id[%lu]", "6f1c-22", "vm 7", 42UL);
  both("%d %d %d %d", 0, -1, 2147483647, -2147483647 - 1);
  both("%u|%lu|%llu", 4294967295U, 18446744073709551615UL, 0ULL);
  both("%ld|%lld|%ld", -9223372036854775807L - 1, 9223372036854775807LL, 0L);
  both("100%% [%s]%%", "");
  both("%s%s", wide.c_str(), "tail that crosses the buffer");
  both("%s", wide.c_str());
  both("[%5d] [%-3s] [%x] [%c] [%.2s]", 7, "a", 255U, 'z', "abc");
  both("[%s] [%lc] [%hd]", none, L'q', static_cast<short>(-4));
  const std::vector<qzsim::LogLine> lines = qzsim::logLines();
  ASSERT_EQ(expected.size(), lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(expected[i], lines[i].text) << "case " << i;
  }
}

// A client wanted in a request; its host name and machine guid follow from
// its name.
struct Wanted {
  std::string name;
  std::vector<std::string> groups;
};

CNMessageBase& EntityIn(CNMessageBase& composition) {
  return Get(Get(Get(composition, ClientsComposition::kClientInfo),
                 ClientInfo::kClient),
             App::Client::kClientEntity);
}

// Filled in place through the accessors.
ClientSetup Request(const std::vector<Wanted>& clients,
                    const std::string& server = "qzcs01",
                    long long setupKind = 0) {
  ClientSetup setup;
  Set(setup, ClientSetup::kSetupKind, setupKind);
  Set(Get(Get(setup, ClientSetup::kServerClientInfo),
          QZInstallManager::RSClientInfo::kServerClient),
      ClientEntity::kClientName, server);
  std::vector<CNMessageBase>& compositions =
      Get(setup, ClientSetup::kClientCompositions);
  for (const Wanted& wanted : clients) {
    compositions.push_back(ClientsComposition());
    CNMessageBase& entity = EntityIn(compositions.back());
    Set(entity, ClientEntity::kClientName, wanted.name);
    Set(entity, ClientEntity::kHostName, wanted.name + ".example.com");
    CNMessageBase& info =
        Get(compositions.back(), ClientsComposition::kClientInfo);
    std::vector<CNMessageBase>& groups = Get(info, ClientInfo::kClientGroups);
    for (const std::string& name : wanted.groups) {
      groups.push_back(ClientGroupEntity());
      Set(groups.back(), ClientGroupEntity::kClientGroupName, name);
    }
    Set(Get(info, ClientInfo::kClientProps), App::ClientProps::kVmGuid,
        "guid," + wanted.name);
  }
  return setup;
}

// The request as the embedded server should answer it: the given ids filled.
std::string Answered(ClientSetup request, const std::vector<long long>& ids) {
  for (std::size_t i = 0; i < ids.size(); ++i) {
    Set(EntityIn(Get(request, ClientSetup::kClientCompositions).at(i)),
        ClientEntity::kClientId, ids[i]);
  }
  return qzsim::render(request);
}

// Submits the request, expecting `status`, and renders the response.
std::string Submit(ClientSetup& request, int status = 0) {
  ClientSetup* response = nullptr;
  EXPECT_EQ(status, ProcessClientSetupRequest(&request, &response));
  return response == nullptr ? "no response" : qzsim::render(*response);
}

// How a response's render shows the code of the setup's error, and of the
// first client's.
const std::string kSetupError = "\n  setupError: SIMError {\n    errorCode: ";
const std::string kClientError =
    "\n      clientError: SIMError {\n        errorCode: ";

TEST_F(EmbeddedServerTest, CreatesOrRefreshesClientsAndEchoesTheRequest) {
  qzsim::addClient(
      {7, "WEB01", "old.example.com", 21, false, 0, 0, "", 0, false, {"g1"}});
  qzsim::addClient(Named("web02", 9, /*deleted=*/true));
  // The server knows itself whatever the ASCII case of the address.
  ClientSetup request =
      Request({{"web01", {"g2", "g1"}}, {"web02", {}}, {"web03", {"g1", "g2"}}},
              "QzCs01");
  const std::string sent = qzsim::render(request);

  EXPECT_EQ(Answered(request, {7, 10, 11}), Submit(request));
  EXPECT_EQ(sent, qzsim::render(request));
  const std::string plain = " ports=0/0 dir=(0) groups=";
  EXPECT_EQ("7 WEB01 host=web01.example.com os=21" + plain + "g1;g2;\n" +
                "9 web02 host= os=116 deleted" + plain + "\n" +
                "10 web02 host=web02.example.com os=116" + plain + "\n" +
                "11 web03 host=web03.example.com os=116" + plain + "g1;g2;\n",
            DescribeAll());

  Set(request, ClientSetup::kFocusName, "changed after submitting");
  EXPECT_EQ(sent, qzsim::render(qzsim::submittedRequests().at(0)));
}

// Each answered with that one error and no client id. The request crosses
// to the server as XML; one that cannot is refused whole instead of reaching
// the catalogue.
TEST_F(EmbeddedServerTest, RefusedRequestsChangeNothing) {
  ClientSetup foreign, malformed = Request({{"web01", {}}});
  Get(malformed, ClientSetup::kClientCompositions)
      .push_back(CNMessageBase(5, 5));
  // A record of another class in a setup's clothing.
  static_cast<CNMessageBase&>(foreign) = QZInstallManager::SIMError();
  const std::pair<ClientSetup, long long> cases[] = {
      {Request({{"", {}}}), qzsim::kEmptyClientNameError},
      {Request({{"web01", {}}}, "qzcs02"), qzsim::kForeignServerError},
      {Request({{"web01", {}}}, "qzcs01", 7), qzsim::kUnknownSetupKindError},
      {malformed, qzsim::kMalformedRequestError},
      {foreign, qzsim::kMalformedRequestError},
  };
  for (auto [request, code] : cases) {
    const std::string error =
        (code == qzsim::kEmptyClientNameError ? kClientError : kSetupError) +
        std::to_string(code) + "\n";
    SCOPED_TRACE(error);
    const std::string response = Submit(request);
    EXPECT_THAT(response, HasSubstr(error));
    EXPECT_EQ(std::string::npos, response.find("clientId"));
    EXPECT_EQ(response.find("errorCode"), response.rfind("errorCode"));
    EXPECT_EQ("", DescribeAll());
  }
}

TEST_F(EmbeddedServerTest, ScriptedHandlerAnswersUntilSwitchedBack) {
  std::vector<std::string> received;
  std::optional<ClientSetup> answer = Request({}, "scripted");
  qzsim::setInstallHandler(
      [&](const ClientSetup& request, std::optional<ClientSetup>& response) {
        received.push_back(qzsim::render(request));
        response = answer;
        return answer ? 5 : 0;
      });
  ClientSetup request = Request({{"web01", {}}});
  EXPECT_EQ(qzsim::render(*answer), Submit(request, 5));
  answer.reset();
  EXPECT_EQ("no response", Submit(request, 0));
  EXPECT_THAT(received,
              ElementsAre(qzsim::render(request), qzsim::render(request)));
  EXPECT_EQ("", DescribeAll());

  qzsim::useEmbeddedServer();
  EXPECT_EQ(Answered(request, {1}), Submit(request));
  EXPECT_EQ(2u, received.size());
  EXPECT_EQ(3u, qzsim::submittedRequests().size());
}

// Every id fits what the library reads in 32 bits: past the top, the lowest
// free id. Exhausting 2^31 ids is out of reach, so the last case lowers the
// ceiling of a catalogue of its own to 3.
TEST_F(EmbeddedServerTest, IdsStayWithinThirtyTwoBitsAndRunOutPerClient) {
  for (long long id : {-1LL, qzsim::kMaxClientId + 1}) {
    EXPECT_THROW(qzsim::addClient(Named("x", id)), std::invalid_argument);
  }
  qzsim::addClient(Named("top", qzsim::kMaxClientId));
  qzsim::addClient(Named("one", 1));
  ClientSetup request = Request({{"x", {}}, {"y", {}}});
  EXPECT_EQ(Answered(request, {2, 3}), Submit(request));

  qzsim::FaultSeam seam;
  qzsim::Catalogue small(":memory:", seam, 0, /*maxId=*/3);
  small.AddClient(Named("one", 1));
  small.AddClient(Named("three", 3));
  ClientSetup response;
  std::string fault = "none";
  EXPECT_EQ(
      0, qzsim::ServeClientSetup(small, {"qzcs01"}, request, response, fault));
  QZInstallManager::SIMError error;
  Set(error, QZInstallManager::SIMError::kErrorCode,
      qzsim::kClientIdsExhaustedError);
  Set(error, QZInstallManager::SIMError::kErrorString,
      std::string(
          "No client id is free: every client id from 1 to 3 is taken"));
  Set(Get(request, ClientSetup::kClientCompositions).at(1),
      ClientsComposition::kClientError, error);
  EXPECT_EQ(Answered(request, {2}), qzsim::render(response));
  EXPECT_EQ("none", fault);
  EXPECT_EQ(3u, small.Clients().size());
}

}  // namespace
