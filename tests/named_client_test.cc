#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "creation_probe.h"
#include "sim/qzsim.h"
#include "test_support.h"

namespace {

using QZInstallManager::AddOnComponents;
using QZInstallManager::ClientSetup;
using qztest::CreationProbe;
using qztest::Flat;
using qztest::RenderCalls;
using qztest::RenderLog;

constexpr unsigned long long kNoId = ~0ULL;

// An operating system among a Client's fields; its display name is the
// family. `osId` is "" for the families that have none.
std::string Os(const std::string& osId, const std::string& family,
               const std::string& flavor, const std::string& processor) {
  return " operatingSystem: OperatingSystem {" +
         (osId.empty() ? "" : " osId: " + osId) + " osFamily: \"" + family +
         "\" osFlavor: \"" + flavor + "\" processor: \"" + processor +
         R"(" osVersion: " " displayInfo: OSDisplayInfo { displayName: ")" +
         family + R"(" text5: " " text9: " " } })";
}
const std::string kOsAny = Os("", "Any", "Any", "Any");
const std::string kOsUnix = Os("", "Unix", "Any", "Any");
const std::string kOsWindows = Os("313", "Windows", "Server", "X86");
const std::string kNoOs;

// One flat composition; `number6` "" when unset, `props` the ClientProps
// fields.
std::string Composition(const std::string& number6, const std::string& name,
                        const std::string& host, const std::string& os,
                        bool details, const std::string& props,
                        const std::string& group,
                        const std::vector<long long>& packages) {
  std::string out = " ClientsComposition {";
  if (!number6.empty()) out += " number6: " + number6;
  out += R"( clientInfo: ClientInfo { client: Client { clientEntity: )"
         R"(ClientEntity { clientName: ")" +
         name + R"(" hostName: ")" + host + "\" }" + os;
  if (details) out += R"( number16: 0 number17: 0 text19: "N/A")";
  out += R"( versionInfo: VersionInfo { release: BeaconReleaseEnity { )"
         R"(releaseName: "11.0" } version: "BUILD80" } } clientProps: )"
         "ClientProps {" +
         props + " }";
  if (!group.empty()) {
    out += " clientGroups: [ ClientGroupEntity { clientGroupName: \"" + group +
           "\" } ]";
  }
  if (packages.empty()) return out + " } }";
  return out + " } components: " + qztest::FlatComponents(packages) + " }";
}

// Only a new or deleted client carries the operating system, and with it
// the three detail fields.
std::string Single(const std::string& name, const std::string& host,
                   const std::string& os, const std::string& group = "",
                   const std::vector<long long>& packages = {},
                   const std::string& number6 = "0") {
  return Composition(number6, name, host, os, !os.empty(), " number23: 0",
                     group, packages);
}

std::string Multi(const std::string& name, const std::string& os,
                  const std::string& group = "",
                  const std::vector<long long>& packages = {}) {
  return Composition("", name, name, os, false,
                     " number2: 0 number23: 0 number168: 1", group, packages);
}

std::string Request(const std::string& compositions,
                    const std::string& after = "") {
  return qztest::FlatHeader("0") + compositions + " ]" + after + " }";
}

// A debug line of the named-client builders.
std::string Logged(const std::string& text) {
  return "Debug QZClientCreation::Initialize |" + text + "|\n";
}
const std::string kHostNameFailed = Logged("getRealmServerHostName failed !!!");

std::vector<AddOnComponents> AddOns(const std::vector<long long>& ids) {
  std::vector<AddOnComponents> addOns;
  for (long long id : ids) {
    AddOnComponents addOn;
    qzmsg::Set(addOn, AddOnComponents::kComponentId, id);
    addOns.push_back(addOn);
  }
  return addOns;
}

unsigned long long Seed(const std::string& name, const std::string& host,
                        bool deleted = false) {
  qzsim::ClientRecord client;
  client.name = name;
  client.hostName = host;
  client.deleted = deleted;
  return static_cast<unsigned long long>(qzsim::addClient(client));
}

class SingleClientRequestTest : public ::testing::Test {
 protected:
  void SetUp() override { qzsim::reset(); }

  CreationProbe probe;
  std::vector<AddOnComponents> none;
};

TEST_F(SingleClientRequestTest, UnknownClientByNameIsDeclaredForAnyFamily) {
  ASSERT_TRUE(probe.Initialize(std::string("web01")));
  EXPECT_EQ(Flat(probe.request), Request(Single("web01", "web01", kOsAny)));
  EXPECT_EQ(probe.osType, TMMsg::INSTALL_OS_ANY);
  EXPECT_EQ(probe.clientId, kNoId);
  EXPECT_EQ(probe.clientName, "web01");
  EXPECT_EQ(RenderCalls(), "QZClient(name=web01)\ngetClientId\n");
  EXPECT_EQ(RenderLog(), "");
}

// An empty catalogue host name falls back to the client name; a deleted
// client keeps its id but is declared as a new one.
TEST_F(SingleClientRequestTest, KnownClientsAreLookedUpInTheCatalogue) {
  struct Case {
    std::string name, held;
    bool deleted;
    TMMsg::InstallOSType family;
    std::string host, os;
  };
  const Case cases[] = {
      {"db01", "db01.corp.example", false, TMMsg::INSTALL_OS_WINDOWS,
       "db01.corp.example", kNoOs},
      {"db02", "", false, TMMsg::INSTALL_OS_UNIX, "db02", kNoOs},
      {"db03", "old.example", true, TMMsg::INSTALL_OS_UNIX, "old.example",
       kOsUnix}};
  std::string calls;
  for (const Case& c : cases) {
    const unsigned long long id = Seed(c.name, c.held, c.deleted);
    ASSERT_TRUE(probe.Initialize(c.name, c.family, none, false));
    EXPECT_EQ(probe.clientId, id);
    EXPECT_EQ(Flat(probe.request), Request(Single(c.name, c.host, c.os)));
    calls += "QZClient(name=" + c.name +
             ")\ngetClientId\nisDeleted\ngetNetworkHostname\n";
  }
  EXPECT_EQ(RenderCalls(), calls);
}

TEST_F(SingleClientRequestTest, GivenHostNameYieldsToTheCatalogues) {
  ASSERT_TRUE(probe.Initialize("web01", TMMsg::INSTALL_OS_ANY,
                               "web01.dmz.example", none, false));
  EXPECT_EQ(Flat(probe.request),
            Request(Single("web01", "web01.dmz.example", kOsAny)));

  Seed("db01", "db01.corp.example");
  ASSERT_TRUE(probe.Initialize("db01", TMMsg::INSTALL_OS_ANY,
                               "db01.dmz.example", none, false));
  EXPECT_EQ(probe.hostName, "db01.corp.example");
  EXPECT_EQ(Flat(probe.request),
            Request(Single("db01", "db01.corp.example", kNoOs)));
}

// Only component 600, judged by its low 32 bits, stands for the Windows
// package; the flag is number6.
TEST_F(SingleClientRequestTest, AddOnsBecomePackagesInOrder) {
  std::vector<AddOnComponents> addOns = AddOns(
      {600, 605, 7, 0x100000258LL, 0x258 + (1LL << 32) * 7, 601, -600, 600});
  ASSERT_TRUE(
      probe.Initialize("win01", TMMsg::INSTALL_OS_WINDOWS, addOns, true));
  EXPECT_EQ(probe.osType, TMMsg::INSTALL_OS_WINDOWS);
  EXPECT_EQ(Flat(probe.request),
            Request(Single("win01", "win01", kOsWindows, "",
                           {402, 1123, 1123, 402, 402, 1123, 1123, 402}, "1")));
}

TEST_F(SingleClientRequestTest, UnavailableHostNameLeavesTheRequestUntouched) {
  const unsigned long long id = Seed("db01", "db01.corp.example");
  qzmsg::Set(probe.request, ClientSetup::kNumber30, 7);
  const std::string before = Flat(probe.request);
  probe.setErrorCode(9);
  probe.setErrorString("old");
  qzsim::setRealmServerHostName(std::nullopt);

  // The group comes before the server identity and is not undone.
  EXPECT_FALSE(probe.Initialize("db01", "g", TMMsg::INSTALL_OS_UNIX, none));
  EXPECT_EQ(Flat(probe.request), before);
  EXPECT_EQ(qzsim::groups().size(), 1u);
  EXPECT_EQ(probe.clientId, id);
  EXPECT_EQ(probe.hostName, "db01.corp.example");
  EXPECT_EQ(probe.osType, TMMsg::INSTALL_OS_UNIX);
  EXPECT_EQ(probe.getErrorCode(), 0u);
  EXPECT_EQ(probe.getErrorString(), "");
  EXPECT_EQ(RenderLog(),
            Logged("client group [g] realmId [1]") + kHostNameFailed);
}

TEST_F(SingleClientRequestTest, FieldsOfOtherBuildersSurviveARebuild) {
  QZInstallManager::InstallerFlags flags;
  qzmsg::Set(flags, QZInstallManager::InstallerFlags::kNumber70, 3);
  qzmsg::Set(probe.request, ClientSetup::kInstallerFlags, flags);
  qzmsg::Set(probe.request, ClientSetup::kNumber30, -7);
  ASSERT_TRUE(probe.Initialize(std::string("old01")));
  ASSERT_TRUE(probe.Initialize(std::string("web01")));
  // The composition list is replaced, not appended to.
  EXPECT_EQ(Flat(probe.request),
            Request(Single("web01", "web01", kOsAny),
                    " installerFlags: InstallerFlags { number70: 3 } "
                    "number30: -7"));
}

TEST_F(SingleClientRequestTest, GroupIsCreatedAfterTheLookupAndJoined) {
  ASSERT_TRUE(
      probe.Initialize("web01", "web servers", TMMsg::INSTALL_OS_ANY, none));
  EXPECT_EQ(probe.clientGroupName, "web servers");
  EXPECT_EQ(RenderCalls(),
            "QZClient(name=web01)\ngetClientId\n"
            "QZClientGroup(realm=1,name=web servers)\ncreate\n");
  EXPECT_EQ(RenderLog(), Logged("client group [web servers] realmId [1]"));
  EXPECT_EQ(Flat(probe.request),
            Request(Single("web01", "web01", kOsAny, "web servers")));
}

TEST_F(SingleClientRequestTest, GroupProblemsAreLoggedAndPassedOver) {
  qzsim::setRealmId(0);
  qzsim::setGroupCreateResult(5);
  ASSERT_TRUE(probe.Initialize("web01", "g", TMMsg::INSTALL_OS_ANY, none));
  EXPECT_EQ(RenderCalls(),
            "QZClient(name=web01)\ngetClientId\n"
            "QZClientGroup(realm=2,name=g)\ncreate\n");
  EXPECT_EQ(RenderLog(),
            Logged(" realm Id is zero, using 2") +
                Logged("client group [g] realmId [2]") +
                "DebugLvl(2) QZClientCreation::Initialize |Failed to create "
                "client group g, error 5, continuing|\n");
  EXPECT_EQ(Flat(probe.request),
            Request(Single("web01", "web01", kOsAny, "g")));
}

TEST_F(SingleClientRequestTest, OddNamesGoOutUnchanged) {
  ASSERT_TRUE(probe.Initialize(std::string("")));
  EXPECT_EQ(Flat(probe.request), Request(Single("", "", kOsAny)));

  // Format directives stay text, in the request and in the log.
  ASSERT_TRUE(probe.Initialize("%s%n%d\xC3\xA9", "%s%n%d\xFF",
                               TMMsg::INSTALL_OS_ANY, none));
  EXPECT_EQ(Flat(probe.request),
            Request(Single("%s%n%d\\xC3\\xA9", "%s%n%d\\xC3\\xA9", kOsAny,
                           "%s%n%d\\xFF")));
  EXPECT_EQ(qzsim::logLines().back().text,
            "client group [%s%n%d\xFF] realmId [1]");

  const std::string huge(1 << 20, 'h');
  ASSERT_TRUE(probe.Initialize(huge));
  EXPECT_EQ(Flat(probe.request),
            Request(Single(huge, huge, kOsAny, "%s%n%d\\xFF")));
}

class MultiClientRequestTest : public SingleClientRequestTest {};

TEST_F(MultiClientRequestTest, EveryNameGetsItsOwnCompositionInOrder) {
  probe.clientGroupName = "g";
  probe.clientId = 5;
  std::vector<AddOnComponents> addOns = AddOns({605, 600});
  ASSERT_TRUE(probe.Initialize(std::vector<std::string>{"c", "a", "b"},
                               TMMsg::INSTALL_OS_WINDOWS, addOns));
  EXPECT_EQ(Flat(probe.request),
            Request(Multi("c", kOsWindows, "g", {1123, 402}) +
                    Multi("a", kOsWindows, "g", {1123, 402}) +
                    Multi("b", kOsWindows, "g", {1123, 402})));
  EXPECT_EQ(probe.clientId, kNoId);
  EXPECT_EQ(probe.osType, TMMsg::INSTALL_OS_WINDOWS);
  // Nobody is looked up: the journal holds the group alone.
  EXPECT_EQ(RenderCalls(), "QZClientGroup(realm=1,name=g)\ncreate\n");
}

TEST_F(MultiClientRequestTest, EachClientIsItsOwnHostEvenWithAHostNameHeld) {
  ASSERT_TRUE(probe.Initialize("solo", TMMsg::INSTALL_OS_UNIX, "solo.example",
                               none, false));
  ASSERT_EQ(probe.hostName, "solo.example");
  // The convenience overload declares any family and no group.
  ASSERT_TRUE(probe.Initialize(std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(probe.osType, TMMsg::INSTALL_OS_ANY);
  EXPECT_EQ(Flat(probe.request),
            Request(Multi("x", kOsAny) + Multi("y", kOsAny)));
  EXPECT_EQ(RenderLog(), "");
}

TEST_F(MultiClientRequestTest, EmptyListStillCreatesTheGroup) {
  probe.clientGroupName = "g";
  probe.clientId = 12;
  ASSERT_TRUE(probe.Initialize(std::vector<std::string>{},
                               TMMsg::INSTALL_OS_UNIX, none));
  EXPECT_EQ(Flat(probe.request), Request(""));
  EXPECT_EQ(probe.clientId, 12u);
  ASSERT_EQ(qzsim::groups().size(), 1u);
}

TEST_F(MultiClientRequestTest, UnavailableHostNameFailsAfterTheResetAndGroup) {
  probe.clientGroupName = "g";
  probe.setErrorCode(9);
  probe.setErrorString("old");
  probe.clientId = 3;
  qzsim::setRealmServerHostName(std::nullopt);

  EXPECT_FALSE(probe.Initialize(std::vector<std::string>{"a"},
                                TMMsg::INSTALL_OS_UNIX, none));
  EXPECT_EQ(Flat(probe.request), "ClientSetup { }");
  EXPECT_EQ(probe.osType, TMMsg::INSTALL_OS_UNIX);
  EXPECT_EQ(probe.getErrorCode(), 0u);
  EXPECT_EQ(probe.getErrorString(), "");
  EXPECT_EQ(probe.clientId, 3u);
  EXPECT_EQ(qzsim::groups().size(), 1u);
  EXPECT_EQ(RenderLog(),
            Logged("client group [g] realmId [1]") + kHostNameFailed);
}

TEST_F(MultiClientRequestTest, OddNamesGoOutUnchanged) {
  probe.clientGroupName = "%n%s";
  qzsim::setGroupCreateResult(-1);
  ASSERT_TRUE(probe.Initialize(
      std::vector<std::string>{"", "dup", "dup", "%s%n%d", "\x80\xFE"},
      TMMsg::INSTALL_OS_ANY, none));
  std::string expected;
  for (const char* name : {"", "dup", "dup", "%s%n%d", "\\x80\\xFE"}) {
    expected += Multi(name, kOsAny, "%n%s");
  }
  EXPECT_EQ(Flat(probe.request), Request(expected));
  EXPECT_EQ(RenderLog(),
            Logged("client group [%n%s] realmId [1]") +
                "DebugLvl(2) QZClientCreation::Initialize |Failed to create "
                "client group %n%s, error -1, continuing|\n");
}

}  // namespace
