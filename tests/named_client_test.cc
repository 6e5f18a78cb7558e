#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "creation_probe.h"
#include "sim/qzsim.h"
#include "test_support.h"

namespace {

using QZInstallManager::AddOnComponents;
using QZInstallManager::ClientSetup;
using qztest::CreationProbe;
using qztest::RenderCalls;
using qztest::RenderLog;

constexpr unsigned long long kNoId = ~0ULL;

// Everything before the composition list, with the simulation's defaults.
constexpr char kHead[] =
    "ClientSetup {\n"
    "  number1: 0\n"
    "  number2: 0\n"
    "  user: UserEntity {\n"
    "    userId: 1\n"
    "    userName: \"admin\"\n"
    "  }\n"
    "  setupKind: 0\n"
    "  focusName: \"Instance001\"\n"
    "  serverClientInfo: RSClientInfo {\n"
    "    serverClient: ClientEntity {\n"
    "      clientName: \"qzcs01\"\n"
    "      hostName: \"qzcs01.example.com\"\n"
    "    }\n"
    "  }\n"
    "  clientCompositions: [\n";

// An operating system as it appears among a Client's fields; its display
// name is the family. `osId` is "" for the families that have none.
std::string Os(const std::string& osId, const std::string& family,
               const std::string& flavor, const std::string& processor) {
  return "          operatingSystem: OperatingSystem {\n" +
         (osId.empty() ? "" : "            osId: " + osId + "\n") +
         "            osFamily: \"" + family + "\"\n" +
         "            osFlavor: \"" + flavor + "\"\n" +
         "            processor: \"" + processor + "\"\n" +
         "            osVersion: \" \"\n"
         "            displayInfo: OSDisplayInfo {\n"
         "              displayName: \"" +
         family + "\"\n" +
         "              text5: \" \"\n"
         "              text9: \" \"\n"
         "            }\n"
         "          }\n";
}
const std::string kOsAny = Os("", "Any", "Any", "Any");
const std::string kOsUnix = Os("", "Unix", "Any", "Any");
const std::string kOsWindows = Os("313", "Windows", "Server", "X86");
const std::string kNoOs;

// One composition; `name` and `host` as rendered, `number6` "" when unset.
std::string Composition(const std::string& number6, const std::string& name,
                        const std::string& host, const std::string& os,
                        bool details, const std::string& props,
                        const std::string& group,
                        const std::vector<long long>& packages) {
  std::string out = "    ClientsComposition {\n";
  if (!number6.empty()) out += "      number6: " + number6 + "\n";
  out += "      clientInfo: ClientInfo {\n        client: Client {\n";
  out += "          clientEntity: ClientEntity {\n";
  out += "            clientName: \"" + name + "\"\n";
  out += "            hostName: \"" + host + "\"\n          }\n" + os;
  if (details) {
    out += "          number16: 0\n          number17: 0\n";
    out += "          text19: \"N/A\"\n";
  }
  out += "          versionInfo: VersionInfo {\n";
  out += "            release: BeaconReleaseEnity {\n";
  out += "              releaseName: \"11.0\"\n            }\n";
  out += "            version: \"BUILD80\"\n          }\n        }\n";
  out += "        clientProps: ClientProps {\n" + props + "        }\n";
  if (!group.empty()) {
    out += "        clientGroups: [\n          ClientGroupEntity {\n";
    out += "            clientGroupName: \"" + group + "\"\n";
    out += "          }\n        ]\n";
  }
  out += "      }\n";
  if (!packages.empty()) {
    out += "      components: Components {\n        packages: [\n";
    for (long long id : packages) {
      out += "          PackageInformation {\n";
      out += "            packageId: " + std::to_string(id) + "\n";
      out += "            number14: 0\n          }\n";
    }
    out += "        ]\n      }\n";
  }
  return out + "    }\n";
}

// Only a new or deleted client carries the operating system, and with it
// the three detail fields.
std::string Single(const std::string& name, const std::string& host,
                   const std::string& os, const std::string& group = "",
                   const std::vector<long long>& packages = {},
                   const std::string& number6 = "0") {
  return Composition(number6, name, host, os, !os.empty(),
                     "          number23: 0\n", group, packages);
}

std::string Multi(const std::string& name, const std::string& os,
                  const std::string& group = "",
                  const std::vector<long long>& packages = {}) {
  return Composition("", name, name, os, false,
                     "          number2: 0\n          number23: 0\n"
                     "          number168: 1\n",
                     group, packages);
}

std::string Request(const std::string& compositions,
                    const std::string& after = "") {
  return kHead + compositions + "  ]\n" + after + "}\n";
}

std::vector<AddOnComponents> AddOns(const std::vector<long long>& ids) {
  std::vector<AddOnComponents> addOns;
  for (long long id : ids) {
    AddOnComponents addOn;
    qzmsg::Set(addOn, AddOnComponents::kComponentId, id);
    addOns.push_back(addOn);
  }
  return addOns;
}

long long Seed(const std::string& name, const std::string& host,
               bool deleted = false) {
  qzsim::ClientRecord client;
  client.name = name;
  client.hostName = host;
  client.deleted = deleted;
  return qzsim::addClient(client);
}

class SingleClientRequestTest : public ::testing::Test {
 protected:
  void SetUp() override { qzsim::reset(); }

  CreationProbe probe;
  std::vector<AddOnComponents> none;
};

TEST_F(SingleClientRequestTest, UnknownClientByNameIsDeclaredForAnyFamily) {
  ASSERT_TRUE(probe.Initialize(std::string("web01")));
  // Written out in full once; the other tests compose the same pieces.
  EXPECT_EQ(qzsim::render(probe.request),
            std::string(kHead) +
                "    ClientsComposition {\n"
                "      number6: 0\n"
                "      clientInfo: ClientInfo {\n"
                "        client: Client {\n"
                "          clientEntity: ClientEntity {\n"
                "            clientName: \"web01\"\n"
                "            hostName: \"web01\"\n"
                "          }\n" +
                kOsAny +
                "          number16: 0\n"
                "          number17: 0\n"
                "          text19: \"N/A\"\n"
                "          versionInfo: VersionInfo {\n"
                "            release: BeaconReleaseEnity {\n"
                "              releaseName: \"11.0\"\n"
                "            }\n"
                "            version: \"BUILD80\"\n"
                "          }\n"
                "        }\n"
                "        clientProps: ClientProps {\n"
                "          number23: 0\n"
                "        }\n"
                "      }\n"
                "    }\n"
                "  ]\n"
                "}\n");
  EXPECT_EQ(probe.osType, TMMsg::INSTALL_OS_ANY);
  EXPECT_EQ(probe.clientId, kNoId);
  EXPECT_EQ(probe.clientName, "web01");
  EXPECT_EQ(RenderCalls(), "QZClient(name=web01)\ngetClientId\n");
  EXPECT_EQ(RenderLog(), "");
}

TEST_F(SingleClientRequestTest, KnownClientsAreLookedUpInTheCatalogue) {
  const long long live = Seed("db01", "db01.corp.example");
  const long long bare = Seed("db02", "");
  const long long gone = Seed("db03", "old.example", true);

  ASSERT_TRUE(probe.Initialize("db01", TMMsg::INSTALL_OS_WINDOWS, none, false));
  EXPECT_EQ(probe.clientId, static_cast<unsigned long long>(live));
  EXPECT_EQ(qzsim::render(probe.request),
            Request(Single("db01", "db01.corp.example", kNoOs)));

  // An empty catalogue host name falls back to the client name.
  ASSERT_TRUE(probe.Initialize("db02", TMMsg::INSTALL_OS_UNIX, none, false));
  EXPECT_EQ(probe.clientId, static_cast<unsigned long long>(bare));
  EXPECT_EQ(qzsim::render(probe.request),
            Request(Single("db02", "db02", kNoOs)));

  // A deleted client keeps its id but is declared as a new one.
  ASSERT_TRUE(probe.Initialize("db03", TMMsg::INSTALL_OS_UNIX, none, false));
  EXPECT_EQ(probe.clientId, static_cast<unsigned long long>(gone));
  EXPECT_EQ(qzsim::render(probe.request),
            Request(Single("db03", "old.example", kOsUnix)));

  EXPECT_EQ(RenderCalls(),
            "QZClient(name=db01)\ngetClientId\nisDeleted\ngetNetworkHostname\n"
            "QZClient(name=db02)\ngetClientId\nisDeleted\ngetNetworkHostname\n"
            "QZClient(name=db03)\ngetClientId\nisDeleted\n"
            "getNetworkHostname\n");
}

TEST_F(SingleClientRequestTest, GivenHostNameYieldsToTheCatalogues) {
  ASSERT_TRUE(probe.Initialize("web01", TMMsg::INSTALL_OS_ANY,
                               "web01.dmz.example", none, false));
  EXPECT_EQ(qzsim::render(probe.request),
            Request(Single("web01", "web01.dmz.example", kOsAny)));

  Seed("db01", "db01.corp.example");
  ASSERT_TRUE(probe.Initialize("db01", TMMsg::INSTALL_OS_ANY,
                               "db01.dmz.example", none, false));
  EXPECT_EQ(probe.hostName, "db01.corp.example");
  EXPECT_EQ(qzsim::render(probe.request),
            Request(Single("db01", "db01.corp.example", kNoOs)));
}

TEST_F(SingleClientRequestTest, WindowsClientWithAddOnsAndFlag) {
  std::vector<AddOnComponents> addOns = AddOns({600, 605, 600});
  ASSERT_TRUE(
      probe.Initialize("win01", TMMsg::INSTALL_OS_WINDOWS, addOns, true));
  EXPECT_EQ(probe.osType, TMMsg::INSTALL_OS_WINDOWS);
  EXPECT_EQ(
      qzsim::render(probe.request),
      Request(Single("win01", "win01", kOsWindows, "", {402, 1123, 402}, "1")));
}

TEST_F(SingleClientRequestTest, OnlyTheLow32BitsOf600SelectTheWindowsPackage) {
  std::vector<AddOnComponents> addOns =
      AddOns({7, 0x100000258LL, 0x258 + (1LL << 32) * 7, 601, -600});
  ASSERT_TRUE(probe.Initialize("web01", TMMsg::INSTALL_OS_UNIX, addOns, false));
  EXPECT_EQ(qzsim::render(probe.request),
            Request(Single("web01", "web01", kOsUnix, "",
                           {1123, 402, 402, 1123, 1123})));
}

TEST_F(SingleClientRequestTest, UnavailableHostNameLeavesTheRequestUntouched) {
  const long long id = Seed("db01", "db01.corp.example");
  qzmsg::Set(probe.request, ClientSetup::kNumber30, 7);
  const std::string before = qzsim::render(probe.request);
  probe.setErrorCode(9);
  probe.setErrorString("old");
  qzsim::setRealmServerHostName(std::nullopt);

  // The group comes before the server identity and is not undone.
  EXPECT_FALSE(probe.Initialize("db01", "g", TMMsg::INSTALL_OS_UNIX, none));
  EXPECT_EQ(qzsim::render(probe.request), before);
  EXPECT_EQ(qzsim::groups().size(), 1u);
  EXPECT_EQ(probe.clientId, static_cast<unsigned long long>(id));
  EXPECT_EQ(probe.hostName, "db01.corp.example");
  EXPECT_EQ(probe.osType, TMMsg::INSTALL_OS_UNIX);
  EXPECT_EQ(probe.getErrorCode(), 0u);
  EXPECT_EQ(probe.getErrorString(), "");
  EXPECT_EQ(RenderLog(),
            "Debug QZClientCreation::Initialize |client group [g] realmId "
            "[1]|\n"
            "Debug QZClientCreation::Initialize "
            "|getRealmServerHostName failed !!!|\n");
}

TEST_F(SingleClientRequestTest, FieldsOfOtherBuildersSurviveARebuild) {
  QZInstallManager::InstallerFlags flags;
  qzmsg::Set(flags, QZInstallManager::InstallerFlags::kNumber70, 3);
  qzmsg::Set(probe.request, ClientSetup::kInstallerFlags, flags);
  qzmsg::Set(probe.request, ClientSetup::kNumber30, -7);
  ASSERT_TRUE(probe.Initialize(std::string("old01")));
  ASSERT_TRUE(probe.Initialize(std::string("web01")));
  // The composition list is replaced, not appended to.
  EXPECT_EQ(qzsim::render(probe.request),
            Request(Single("web01", "web01", kOsAny),
                    "  installerFlags: InstallerFlags {\n"
                    "    number70: 3\n"
                    "  }\n"
                    "  number30: -7\n"));
}

TEST_F(SingleClientRequestTest, GroupIsCreatedAfterTheLookupAndJoined) {
  ASSERT_TRUE(
      probe.Initialize("web01", "web servers", TMMsg::INSTALL_OS_ANY, none));
  EXPECT_EQ(probe.clientGroupName, "web servers");
  EXPECT_EQ(RenderCalls(),
            "QZClient(name=web01)\ngetClientId\n"
            "QZClientGroup(realm=1,name=web servers)\ncreate\n");
  EXPECT_EQ(RenderLog(),
            "Debug QZClientCreation::Initialize "
            "|client group [web servers] realmId [1]|\n");
  EXPECT_EQ(qzsim::render(probe.request),
            Request(Single("web01", "web01", kOsAny, "web servers")));
  ASSERT_EQ(qzsim::groups().size(), 1u);
  EXPECT_EQ(qzsim::groups()[0].realmId, 1u);
}

TEST_F(SingleClientRequestTest, GroupProblemsAreLoggedAndPassedOver) {
  qzsim::setRealmId(0);
  qzsim::setGroupCreateResult(5);
  ASSERT_TRUE(probe.Initialize("web01", "g", TMMsg::INSTALL_OS_ANY, none));
  EXPECT_EQ(RenderCalls(),
            "QZClient(name=web01)\ngetClientId\n"
            "QZClientGroup(realm=2,name=g)\ncreate\n");
  EXPECT_EQ(RenderLog(),
            "Debug QZClientCreation::Initialize | realm Id is zero, using 2|\n"
            "Debug QZClientCreation::Initialize |client group [g] realmId "
            "[2]|\n"
            "DebugLvl(2) QZClientCreation::Initialize |Failed to create client "
            "group g, error 5, continuing|\n");
  EXPECT_EQ(qzsim::render(probe.request),
            Request(Single("web01", "web01", kOsAny, "g")));
}

TEST_F(SingleClientRequestTest, OddNamesGoOutUnchanged) {
  ASSERT_TRUE(probe.Initialize(std::string("")));
  EXPECT_EQ(qzsim::render(probe.request), Request(Single("", "", kOsAny)));

  // Format directives stay text, in the request and in the log.
  ASSERT_TRUE(probe.Initialize("%s%n%d\xC3\xA9", "%s%n%d\xFF",
                               TMMsg::INSTALL_OS_ANY, none));
  EXPECT_EQ(qzsim::render(probe.request),
            Request(Single("%s%n%d\\xC3\\xA9", "%s%n%d\\xC3\\xA9", kOsAny,
                           "%s%n%d\\xFF")));
  EXPECT_EQ(qzsim::logLines().back().text,
            "client group [%s%n%d\xFF] realmId [1]");

  const std::string huge(1 << 20, 'h');
  ASSERT_TRUE(probe.Initialize(huge));
  CNMessageBase& entity = qzmsg::Get(
      qzmsg::Get(qzmsg::Get(qzmsg::Get(probe.request,
                                       ClientSetup::kClientCompositions)[0],
                            QZInstallManager::ClientsComposition::kClientInfo),
                 App::ClientInfo::kClient),
      App::Client::kClientEntity);
  EXPECT_EQ(qzmsg::Get(entity, QzEntities::ClientEntity::kClientName), huge);
  EXPECT_EQ(qzmsg::Get(entity, QzEntities::ClientEntity::kHostName), huge);
}

class MultiClientRequestTest : public SingleClientRequestTest {};

TEST_F(MultiClientRequestTest, EveryNameGetsItsOwnCompositionInOrder) {
  probe.clientGroupName = "g";
  probe.clientId = 5;
  std::vector<AddOnComponents> addOns = AddOns({605, 600});
  ASSERT_TRUE(probe.Initialize(std::vector<std::string>{"c", "a", "b"},
                               TMMsg::INSTALL_OS_WINDOWS, addOns));
  EXPECT_EQ(qzsim::render(probe.request),
            Request(Multi("c", kOsWindows, "g", {1123, 402}) +
                    Multi("a", kOsWindows, "g", {1123, 402}) +
                    Multi("b", kOsWindows, "g", {1123, 402})));
  EXPECT_EQ(probe.clientId, kNoId);
  EXPECT_EQ(probe.osType, TMMsg::INSTALL_OS_WINDOWS);
  // Nobody is looked up: the journal holds the group alone.
  EXPECT_EQ(RenderCalls(), "QZClientGroup(realm=1,name=g)\ncreate\n");
}

TEST_F(MultiClientRequestTest, ConvenienceOverloadDeclaresAnyFamilyNoGroup) {
  ASSERT_TRUE(probe.Initialize(std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(probe.osType, TMMsg::INSTALL_OS_ANY);
  EXPECT_EQ(qzsim::render(probe.request),
            Request(Multi("a", kOsAny) + Multi("b", kOsAny)));
  EXPECT_EQ(RenderCalls(), "");
  EXPECT_EQ(RenderLog(), "");
}

TEST_F(MultiClientRequestTest, EmptyListStillCreatesTheGroup) {
  probe.clientGroupName = "g";
  probe.clientId = 12;
  ASSERT_TRUE(probe.Initialize(std::vector<std::string>{},
                               TMMsg::INSTALL_OS_UNIX, none));
  EXPECT_EQ(qzsim::render(probe.request), Request(""));
  EXPECT_EQ(probe.clientId, 12u);
  ASSERT_EQ(qzsim::groups().size(), 1u);
}

TEST_F(MultiClientRequestTest, EachClientIsItsOwnHostEvenWithAHostNameHeld) {
  ASSERT_TRUE(probe.Initialize("solo", TMMsg::INSTALL_OS_ANY, "solo.example",
                               none, false));
  ASSERT_EQ(probe.hostName, "solo.example");
  ASSERT_TRUE(probe.Initialize(std::vector<std::string>{"x", "y"},
                               TMMsg::INSTALL_OS_UNIX, none));
  EXPECT_EQ(qzsim::render(probe.request),
            Request(Multi("x", kOsUnix) + Multi("y", kOsUnix)));
}

TEST_F(MultiClientRequestTest, UnavailableHostNameFailsAfterTheResetAndGroup) {
  probe.clientGroupName = "g";
  probe.setErrorCode(9);
  probe.setErrorString("old");
  probe.clientId = 3;
  qzsim::setRealmServerHostName(std::nullopt);

  EXPECT_FALSE(probe.Initialize(std::vector<std::string>{"a"},
                                TMMsg::INSTALL_OS_UNIX, none));
  EXPECT_EQ(qzsim::render(probe.request), "ClientSetup {\n}\n");
  EXPECT_EQ(probe.osType, TMMsg::INSTALL_OS_UNIX);
  EXPECT_EQ(probe.getErrorCode(), 0u);
  EXPECT_EQ(probe.getErrorString(), "");
  EXPECT_EQ(probe.clientId, 3u);
  EXPECT_EQ(qzsim::groups().size(), 1u);
  EXPECT_EQ(RenderLog(),
            "Debug QZClientCreation::Initialize |client group [g] realmId "
            "[1]|\n"
            "Debug QZClientCreation::Initialize "
            "|getRealmServerHostName failed !!!|\n");
}

TEST_F(MultiClientRequestTest, OddNamesGoOutUnchanged) {
  probe.clientGroupName = "%n%s";
  qzsim::setGroupCreateResult(-1);
  ASSERT_TRUE(probe.Initialize(
      std::vector<std::string>{"", "dup", "dup", "%s%n%d", "\x80\xFE"},
      TMMsg::INSTALL_OS_ANY, none));
  EXPECT_EQ(
      qzsim::render(probe.request),
      Request(Multi("", kOsAny, "%n%s") + Multi("dup", kOsAny, "%n%s") +
              Multi("dup", kOsAny, "%n%s") + Multi("%s%n%d", kOsAny, "%n%s") +
              Multi("\\x80\\xFE", kOsAny, "%n%s")));
  EXPECT_EQ(RenderLog(),
            "Debug QZClientCreation::Initialize |client group [%n%s] realmId "
            "[1]|\n"
            "DebugLvl(2) QZClientCreation::Initialize |Failed to create client "
            "group %n%s, error -1, continuing|\n");
}

}  // namespace
