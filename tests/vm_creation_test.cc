#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "QZClientCreation.h"
#include "creation_probe.h"
#include "sim/qzsim.h"
#include "test_support.h"

namespace {

using App::ClientInfo;
using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;
using qzmsg::Get;
using qzmsg::IsSet;
using qzmsg::Set;
using qztest::MakeComposition;
using qztest::MakeError;
using qztest::MakeSetup;
using qztest::RenderCalls;
using qztest::RenderLog;
using ClientMap = std::map<std::string, ClientData>;

const std::string kInitTag = "VirtualDiscoveredClientCreation::Initialize";

// Either creation class with its protected state in reach.
template <class Creation>
class Exposed : public Creation {
 public:
  using Creation::clientDataMap, Creation::clientGroupName, Creation::clientId,
      Creation::clientName, Creation::errorCode, Creation::errorString,
      Creation::hostName, Creation::idList, Creation::intList, Creation::osType,
      Creation::request, Creation::response;
};
using VmProbe = Exposed<VirtualDiscoveredClientCreation>;

template <class Creation>
std::string DescribeMembers(const Exposed<Creation>& c) {
  return c.clientName + "|" + c.clientGroupName + "|" + c.hostName + "|" +
         std::to_string(c.idList.size() + c.clientDataMap.size() +
                        c.intList.size()) +
         "|" + std::to_string(c.osType) + "|" + std::to_string(c.clientId) +
         "|" + std::to_string(c.errorCode) + "|" + c.errorString + "\n" +
         qzsim::render(c.request) + qzsim::render(c.response);
}

// The rendered tree on one line; the braces keep its shape.
std::string Flat(const CNMessageBase& record) {
  std::istringstream lines(qzsim::render(record));
  std::string out;
  for (std::string line; std::getline(lines, line);) {
    out += (out.empty() ? "" : " ") + line.substr(line.find_first_not_of(' '));
  }
  return out;
}

// Every field of every entry, so that a stray write anywhere shows.
std::string RenderClients(const ClientMap& clients) {
  std::string out;
  for (const auto& [key, d] : clients) {
    out += key + " -> " + d.clientName + "|" + std::to_string(d.clientId) +
           "|" + std::to_string(d.clientNumber) + "|" + d.extraText1 + "|" +
           std::to_string(d.extraNumber) + "|" + d.extraText2 + "|" +
           std::to_string(d.propertyNumber) + "|" +
           std::to_string(d.resultNumber) + "|" + d.vmGuid + "\n";
  }
  return out;
}

VirtualMachine Machine(const std::string& name, const std::string& guid) {
  VirtualMachine machine;
  machine.name = name;
  machine.guid = guid;
  return machine;
}

ClientData Named(const std::string& name, unsigned int propertyNumber = 0) {
  ClientData data;
  data.clientName = name;
  data.propertyNumber = propertyNumber;
  return data;
}

App::OperatingSystem Os(const std::string& flavor, const std::string& version) {
  App::OperatingSystem os;
  Set(os, App::OperatingSystem::kOsFlavor, flavor);
  Set(os, App::OperatingSystem::kOsVersion, version);
  return os;
}

// A client the server created, with the properties that filing reads; an
// empty text295 stays unset, as servers leave it.
ClientsComposition Created(const std::string& name, long long id,
                           const std::string& vmGuid,
                           const std::string& text295 = "",
                           long long number16 = 0, long long number299 = 0) {
  ClientsComposition composition = MakeComposition(name, id);
  App::ClientProps props;
  Set(props, App::ClientProps::kVmGuid, vmGuid);
  if (!text295.empty()) Set(props, App::ClientProps::kText295, text295);
  Set(props, App::ClientProps::kNumber299, number299);
  CNMessageBase& info = Get(composition, ClientsComposition::kClientInfo);
  Set(info, ClientInfo::kClientProps, props);
  Set(Get(info, ClientInfo::kClient), App::Client::kNumber16, number16);
  return composition;
}

void Answer(std::optional<ClientSetup> reply) {
  qzsim::setInstallHandler(
      [reply](const ClientSetup&, std::optional<ClientSetup>& out) {
        out = reply;
        return 0;
      });
}

CNMessageBase& InfoOf(CNMessageBase& setup, std::size_t entry) {
  return Get(Get(setup, ClientSetup::kClientCompositions).at(entry),
             ClientsComposition::kClientInfo);
}

// The start of every virtual-machine request, up to its client list.
std::string Header(const std::string& setupKind) {
  return R"(ClientSetup { number1: 0 number2: 0 user: UserEntity { userId: 1 )"
         R"(userName: "admin" } setupKind: )" +
         setupKind +
         R"( focusName: "Instance001" serverClientInfo: RSClientInfo { )"
         R"(serverClient: ClientEntity { clientName: "qzcs01" hostName: )"
         R"("qzcs01.example.com" } } clientCompositions: [)";
}

class VmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qzsim::reset();
    gClientMap.clear();
  }

  VmProbe creation;
};

TEST(ReplaceSpecialCharsTest, ReplacesExactlyTheDisallowedBytes) {
  auto disallowed = [](int b) {
    return b == 0x09 || (b >= 0x20 && b <= 0x2C) || b == 0x2F ||
           (b >= 0x3A && b <= 0x40) || (b >= 0x5B && b <= 0x5E) || b == 0x60 ||
           (b >= 0x7B && b <= 0x7E);
  };
  int replaced = 0;
  for (int b = 0; b < 256; ++b) {
    const std::string original(1, static_cast<char>(b));
    std::string text = original;
    replaceSpecialChars(text, "_");
    EXPECT_EQ(text, disallowed(b) ? "_" : original) << "byte " << b;
    if (text != original) ++replaced;
  }
  EXPECT_EQ(replaced, 31);
}

TEST(ReplaceSpecialCharsTest, ReplacesOneForOneWithTheFirstCharacter) {
  const std::pair<std::string, std::string> cases[] = {
      {"web server#1", "web_server_1"},
      {"db-01.corp_x", "db-01.corp_x"},
      {"a\\b\tc,d", "a_b_c_d"},
      {"  ((x))  ", "____x____"},
  };
  for (const auto& [input, expected] : cases) {
    std::string text = input;
    replaceSpecialChars(text, "_");
    EXPECT_EQ(text, expected) << input;
  }
  std::string text = "a b";
  replaceSpecialChars(text, "xy");
  EXPECT_EQ(text, "axb");

  std::string big;
  std::string expected;
  while (big.size() < (1u << 20)) {
    big += "vm #1/\xC3\xA9-";
    expected += "vm__1_\xC3\xA9-";
  }
  replaceSpecialChars(big, "_");
  EXPECT_EQ(big, expected);
}

TEST(ReplaceSpecialCharsTest, EmptyReplacementFailsOnlyWhenNeeded) {
  std::string allowed = "db-01.corp_x\x7F\x80";
  replaceSpecialChars(allowed, "");
  EXPECT_EQ(allowed, "db-01.corp_x\x7F\x80");

  std::string text = "vm01 #2";
  EXPECT_THROW(replaceSpecialChars(text, ""), std::out_of_range);
  EXPECT_EQ(text, "vm01 #2");
}

TEST(VirtualDiscoveredClientCreationTest, StartsWithTheMembersOfABaseObject) {
  EXPECT_EQ(DescribeMembers(VmProbe()),
            DescribeMembers(Exposed<QZClientCreation>()));
}

using VmClientDataRequestTest = VmTest;

TEST_F(VmClientDataRequestTest, BuildsOneClientPerEntryInKeyOrder) {
  gClientMap["stale"] = Named("old");
  creation.setErrorCode(4);
  creation.setErrorString("old error");

  ASSERT_TRUE(creation.Initialize(ClientMap{
      {"a1", Named("web server#1", 0xFFFFFFFFu)},
      {"B1", Named("db-01.corp_x", 7)},
  }));
  EXPECT_EQ(Flat(creation.request),
            Header("34") +
                R"( ClientsComposition { clientInfo: ClientInfo { client: )"
                R"(Client { clientEntity: ClientEntity { clientId: 0 )"
                R"(clientName: "db-01.corp_x" displayName: "db-01.corp_x" } )"
                R"(} clientProps: ClientProps { vmGuid: "B1" vmName: )"
                R"("db-01.corp_x" number271: 7 } } })"
                R"( ClientsComposition { clientInfo: ClientInfo { client: )"
                R"(Client { clientEntity: ClientEntity { clientId: 0 )"
                R"(clientName: "web_server_1" displayName: "web server#1" } )"
                R"(} clientProps: ClientProps { vmGuid: "a1" vmName: )"
                R"("web server#1" number271: 4294967295 } } } ] })");
  EXPECT_EQ(creation.errorCode, 0u);
  EXPECT_EQ(creation.errorString, "");
  EXPECT_TRUE(gClientMap.empty());
  EXPECT_EQ(RenderLog(), "");
}

TEST_F(VmClientDataRequestTest, EmptyMapAndTheGlobalMapItselfRequestNothing) {
  ASSERT_TRUE(creation.Initialize(ClientMap{}));
  EXPECT_EQ(Flat(creation.request), Header("34") + " ] }");

  gClientMap["g1"] = Named("vm1");
  ASSERT_TRUE(creation.Initialize(gClientMap));
  EXPECT_EQ(Flat(creation.request), Header("34") + " ] }");
  EXPECT_TRUE(gClientMap.empty());
}

TEST_F(VmClientDataRequestTest, FailuresSayWhyAndLeaveTheRequestAlone) {
  Set(creation.request, ClientSetup::kNumber30, 5);
  const std::string before = Flat(creation.request);
  const ClientMap vms = {{"g2", Named("vm2")}};

  qzsim::setMessageFacilityStartResult(7);
  gClientMap["g1"] = Named("vm1");
  creation.setErrorCode(3);
  EXPECT_FALSE(creation.Initialize(vms));
  EXPECT_EQ(std::to_string(creation.errorCode) + "|" + creation.errorString,
            "0|Failed to initialize CNMessageBase::Initialize");
  EXPECT_EQ(RenderLog(), "DebugLvl(1) " + kInitTag +
                             " |Error [7] returned from "
                             "CNMessageBase::Initialize.|\n");

  qzsim::setMessageFacilityStartResult(0);
  qzsim::setRealmServerHostName(std::nullopt);
  qzsim::clearLog();
  gClientMap["g1"] = Named("vm1");
  creation.setErrorCode(3);
  EXPECT_FALSE(creation.Initialize(vms));
  EXPECT_EQ(std::to_string(creation.errorCode) + "|" + creation.errorString,
            "0|getRealmServerHostName failed !!!");
  EXPECT_EQ(RenderLog(),
            "Debug " + kInitTag + " |getRealmServerHostName failed !!!|\n");
  EXPECT_TRUE(gClientMap.empty());
  EXPECT_EQ(Flat(creation.request), before);
}

using VmMachineListRequestTest = VmTest;

TEST_F(VmMachineListRequestTest, BuildsEveryMachineIntoTheRequest) {
  VirtualMachine darwin = Machine("a/b:c", "g1");
  darwin.hostName = "h1";
  darwin.propertyText = "text one";
  darwin.operatingSystem = Os("dArWiN", "10.4");
  darwin.osType = 7;
  darwin.propertyNumber = 0xFFFFFFFFu;
  VirtualMachine windows = Machine("web server#2", "g2");
  windows.hostName = "h2";
  windows.alternateId = "a2";
  windows.operatingSystem = Os("Server", "nEw");
  Set(windows.operatingSystem, App::OperatingSystem::kOsId, 313);
  windows.osType = 0;

  ASSERT_TRUE(creation.Initialize({darwin, windows}, "grp", true, -5, INT_MIN));
  EXPECT_EQ(
      Flat(creation.request),
      Header("20") +
          R"( ClientsComposition { clientInfo: ClientInfo { client: Client { )"
          R"(clientEntity: ClientEntity { clientName: "a_b_c" hostName: "h1" )"
          R"(displayName: "a/b:c" } operatingSystem: OperatingSystem { )"
          R"(osFlavor: "dArWiN" osVersion: "6" } filePath: FilePath { path: )"
          R"("N/A" } text19: "N/A" versionInfo: VersionInfo { release: )"
          R"(BeaconReleaseEnity { releaseName: "11.0" } version: "BUILD80" } )"
          R"(} clientProps: ClientProps { number2: 0 number23: 0 attributes: )"
          R"([ ] number168: 1 vmGuid: "g1" text174: "text one" vmName: )"
          R"("a/b:c" vmHostName: "h1" number271: 4294967295 } clientGroups: )"
          R"([ ClientGroupEntity { clientGroupName: "grp" } ] } components: )"
          R"(Components { packages: [ PackageInformation { packageId: 1123 )"
          R"(number14: 0 } ] } })"
          R"( ClientsComposition { clientInfo: ClientInfo { client: Client { )"
          R"(clientEntity: ClientEntity { clientName: "web_server_2" )"
          R"(hostName: "h2" displayName: "web server#2" } operatingSystem: )"
          R"(OperatingSystem { osId: 313 osFlavor: "Server" osVersion: "nEw" )"
          R"(} filePath: FilePath { path: "N/A" } text19: "N/A" versionInfo: )"
          R"(VersionInfo { release: BeaconReleaseEnity { releaseName: "11.0" )"
          R"(} version: "BUILD80" } } clientProps: ClientProps { number2: 0 )"
          R"(number23: 0 attributes: [ ] number168: 1 vmGuid: "g2,a2" )"
          R"(text174: "" vmName: "web server#2" vmHostName: "h2" number271: )"
          R"(0 } clientGroups: [ ClientGroupEntity { clientGroupName: "grp" )"
          R"(} ] } components: Components { packages: [ PackageInformation { )"
          R"(packageId: 402 number14: 0 } ] } } ] installerFlags: )"
          R"(InstallerFlags { number70: -5 } number30: -2147483648 })");
  EXPECT_EQ(qzsim::groups().size(), 1u);
}

TEST_F(VmMachineListRequestTest, AdjustsACopyOfTheOsAndAddsNoPackageUnasked) {
  const std::pair<App::OperatingSystem, std::string> cases[] = {
      {Os("DARWIN", "new"), "6"},     {Os("darwin", ""), "6"},
      {Os("Server", "new"), "new"},   {Os("Server", "NEW"), "NEW"},
      {Os("Server", "Any"), "Any"},   {Os("Server", ""), "Any"},
      {Os("Darwinism", "10"), "Any"}, {App::OperatingSystem(), "Any"},
  };
  std::vector<VirtualMachine> machines;
  for (const auto& [os, version] : cases) {
    machines.push_back(Machine("vm", "g"));
    machines.back().operatingSystem = os;
    machines.back().osType = machines.size() % 2 == 0 ? 0 : 7;
  }
  ASSERT_TRUE(creation.Initialize(machines, "", false, 0, 0));

  for (std::size_t i = 0; i < machines.size(); ++i) {
    CNMessageBase& os =
        Get(Get(InfoOf(creation.request, i), ClientInfo::kClient),
            App::Client::kOperatingSystem);
    EXPECT_EQ(Get(os, App::OperatingSystem::kOsVersion), cases[i].second);
    EXPECT_EQ(Flat(machines[i].operatingSystem), Flat(cases[i].first));
    EXPECT_FALSE(
        IsSet(Get(creation.request, ClientSetup::kClientCompositions)[i],
              ClientsComposition::kComponents));
  }
}

TEST_F(VmMachineListRequestTest, EmptyGroupClearsAnEarlierOneAndReadsNoRealm) {
  ASSERT_TRUE(creation.Initialize({Machine("vm1", "g1")}, "grp", false, 0, 0));
  EXPECT_EQ(RenderCalls(), "QZClientGroup(realm=1,name=grp)\ncreate\n");

  qzsim::setRealmId(0);  // a read would log the substitute
  qzsim::clearLog();
  ASSERT_TRUE(creation.Initialize({Machine("vm1", "g1")}, "", false, 0, 0));
  EXPECT_EQ(creation.clientGroupName, "");
  EXPECT_EQ(RenderLog(), "");
  EXPECT_EQ(RenderCalls(), "QZClientGroup(realm=1,name=grp)\ncreate\n");
  EXPECT_FALSE(IsSet(InfoOf(creation.request, 0), ClientInfo::kClientGroups));
}

TEST_F(VmMachineListRequestTest, FailuresStillClearTheClientMap) {
  creation.clientGroupName = "old";
  creation.errorCode = 9;
  creation.errorString = "old error";
  Set(creation.request, ClientSetup::kNumber30, 5);
  const std::string before = DescribeMembers(creation);

  qzsim::setMessageFacilityStartResult(7);
  gClientMap["g1"] = Named("vm1");
  EXPECT_FALSE(creation.Initialize({Machine("vm2", "g2")}, "grp", true, 1, 2));
  EXPECT_EQ(DescribeMembers(creation), before);
  EXPECT_TRUE(gClientMap.empty());
  EXPECT_EQ(RenderLog(), "DebugLvl(1) " + kInitTag +
                             " |Error [7] returned from "
                             "CNMessageBase::Initialize.|\n");

  qzsim::setMessageFacilityStartResult(0);
  qzsim::setRealmServerHostName(std::nullopt);
  qzsim::clearLog();
  gClientMap["g1"] = Named("vm1");
  EXPECT_FALSE(creation.Initialize({Machine("vm2", "g2")}, "grp", true, 1, 2));
  EXPECT_TRUE(gClientMap.empty());
  EXPECT_EQ(creation.clientGroupName + "|" +
                std::to_string(creation.errorCode) + "|" +
                creation.errorString + "|" + Flat(creation.request),
            "grp|0||ClientSetup { number30: 5 }");
  EXPECT_EQ(RenderLog(),
            "Debug " + kInitTag + " |client group [grp] realmId [1]|\nDebug " +
                kInitTag + " |getRealmServerHostName failed !!!|\n");
}

TEST_F(VmMachineListRequestTest, NameListsPickTheAgentPackageByFamily) {
  gClientMap["g1"] = Named("vm1");
  creation.setErrorCode(3);
  EXPECT_FALSE(creation.Initialize({"n1"}, TMMsg::INSTALL_OS_ANY, true));
  EXPECT_EQ(creation.clientGroupName, "");
  EXPECT_FALSE(creation.Initialize(std::vector<std::string>{"n1"}, "grp",
                                   TMMsg::INSTALL_OS_ANY, true));
  EXPECT_EQ(creation.clientGroupName, "grp");
  EXPECT_EQ(creation.errorCode, 3u);
  EXPECT_EQ(Flat(creation.request), "ClientSetup { }");
  EXPECT_EQ(RenderLog() + RenderCalls(), "");

  const std::pair<TMMsg::InstallOSType, int> families[] = {
      {TMMsg::INSTALL_OS_WINDOWS, 402}, {TMMsg::INSTALL_OS_UNIX, 1123}};
  for (const auto& [family, package] : families) {
    VmProbe named;
    ASSERT_TRUE(named.Initialize({"n1"}, family, true));
    EXPECT_EQ(Flat(Get(Get(named.request, ClientSetup::kClientCompositions)[0],
                       ClientsComposition::kComponents)),
              "Components { packages: [ PackageInformation { packageId: " +
                  std::to_string(package) + " number14: 0 } ] }");
  }
  EXPECT_EQ(gClientMap.size(), 1u);
}

class VmPostOperationTest : public VmTest {
 protected:
  // Executes an empty request that the service answers with `reply`.
  bool Run(const std::vector<CNMessageBase>& reply) {
    Answer(MakeSetup(reply));
    gClientMap["stale"] = Named("old");
    if (!creation.Initialize(ClientMap{})) return false;
    qzsim::clearLog();
    return creation.Execute();
  }

  static std::string Filed(const std::string& guid, const std::string& name,
                           const std::string& id) {
    return "DebugLvl(2) VirtualDiscoveredClientCreation::postOperation "
           "|VMGUID [" +
           guid + "] -> Name[" + name + "], Client Id[" + id + "]|\n";
  }
};

TEST_F(VmPostOperationTest, FilesEachClientUnderTheKeyItsResponseCarries) {
  ASSERT_TRUE(Run({
      Created("c1", 11, "g1"),
      Created("c2", 12, "g2,a2", "", 40, 41),
      Created("c3", 0x10000000DLL, "g3,"),
      Created("c4", 14, "g4,a4,b4"),
      Created("c5", 15, "g5", "t5"),
      Created("c6", 0x80000000LL, "g6", "", 0x1FFFFFFFFLL, 0x180000000LL),
      Created("c7", 17, "g1"),
  }));
  EXPECT_EQ(RenderClients(gClientMap),
            "a2 -> c2|12|40||0||0|41|g2,a2\n"
            "a4,b4 -> c4|14|0||0||0|0|g4,a4,b4\n"
            "g1 -> c7|17|0||0||0|0|g1\n"
            "g3 -> c3|13|0||0||0|0|g3,\n"
            "g6 -> c6|-2147483648|-1||0||0|-2147483648|g6\n"
            "t5 -> c5|15|0||0||0|0|g5\n");
  EXPECT_EQ(RenderLog(), Filed("g1", "c1", "11") + Filed("g2", "c2", "12") +
                             Filed("g3", "c3", "13") + Filed("g4", "c4", "14") +
                             Filed("t5", "c5", "15") +
                             Filed("g6", "c6", "18446744071562067968") +
                             Filed("g1", "c7", "17"));
}

TEST_F(VmPostOperationTest, LogsFailedClientsWithoutFilingThem) {
  ASSERT_TRUE(Run({
      MakeComposition("bad", 0, MakeError(20001, std::string("no %s name"))),
      MakeComposition("bad2", 0, MakeError(5, std::nullopt)),
      MakeComposition("zero", 3, MakeError(0, std::string("fine"))),
      MakeComposition("noprops", 4),
  }));
  // Neither carries a key, so both go under the empty one: the later stays.
  EXPECT_EQ(RenderClients(gClientMap), " -> noprops|4|0||0||0|0|\n");
  EXPECT_EQ(
      RenderLog(),
      "debug |Failed to create the client for [bad]|\n"
      "debug |ProcessClientSetupRequest Failed with errorCode [20001] |\n"
      "debug |Error string [no %s name]|\n"
      "debug |Failed to create the client for [bad2]|\n"
      "debug |ProcessClientSetupRequest Failed with errorCode [5] |\n"
      "debug |ProcessClientSetupRequest Failed with errorCode [20001] for "
      "client [bad] |\n"
      "debug |Error string [no %s name]|\n"
      "debug |ProcessClientSetupRequest Failed with errorCode [5] for client "
      "[bad2] |\n" +
          Filed("", "zero", "3") + Filed("", "noprops", "4"));
}

class GetVMToClientMapTest : public VmTest {
 protected:
  // What a caller should get back: for each GUID, the client the catalogue
  // now holds under the given name.
  static std::string Expected(const std::map<std::string, std::string>& names) {
    ClientMap clients;
    for (const auto& [guid, name] : names) {
      ClientData& data = clients[guid] = Named(name);
      const std::optional<qzsim::ClientRecord> held =
          qzsim::findClientByName(name);
      data.clientId = held ? held->id : -1;
      data.vmGuid = guid;
    }
    return RenderClients(clients);
  }

  ClientMap clientMap{{"mine", Named("kept")}};
};

TEST_F(GetVMToClientMapTest, EmptyListChangesNothing) {
  gClientMap["g1"] = Named("vm1");
  EXPECT_TRUE(GetVMToClientMap({}, clientMap));
  EXPECT_EQ(RenderLog(),
            "Debug GetVMToClientMap |Input VM vector is empty.Nothing to "
            "do.|\n");
  EXPECT_EQ(RenderClients(clientMap) + RenderClients(gClientMap),
            "mine -> kept|0|0||0||0|0|\ng1 -> vm1|0|0||0||0|0|\n");
  EXPECT_TRUE(qzsim::submittedRequests().empty());
}

TEST_F(GetVMToClientMapTest, MapsAwkwardlyNamedMachinesToTheirClients) {
  const std::vector<VirtualMachine> machines = {
      Machine("web server#1", "guid-07"), Machine("a/b:c", "guid-03"),
      Machine("%s%n%d", "guid-11"),       Machine("caf\xC3\xA9 \xFF", "g-01"),
      Machine("tab\there", "guid-09"),    Machine("back\\slash", "guid-02"),
      Machine("quote\"'s", "guid-12"),    Machine("", "guid-05"),
      Machine("dup first", "guid-04"),    Machine("[x]{y}(z)", "guid-10"),
      Machine("~!@$^&*+=<>?;|`", "G-08"), Machine("dup-2.x_y", "guid-04"),
  };
  EXPECT_TRUE(GetVMToClientMap(machines, clientMap));

  EXPECT_EQ(RenderClients(clientMap), Expected({{"G-08", "_______________"},
                                                {"g-01", "caf\xC3\xA9_\xFF"},
                                                {"guid-02", "back_slash"},
                                                {"guid-03", "a_b_c"},
                                                {"guid-04", "dup-2.x_y"},
                                                {"guid-07", "web_server_1"},
                                                {"guid-09", "tab_here"},
                                                {"guid-10", "_x__y__z_"},
                                                {"guid-11", "_s_n_d"},
                                                {"guid-12", "quote__s"}}));
  EXPECT_EQ(RenderClients(gClientMap), RenderClients(clientMap));
  EXPECT_EQ(qzsim::clients().size(), 10u);

  std::vector<ClientSetup> sent = qzsim::submittedRequests();
  ASSERT_EQ(sent.size(), 1u);
  std::string order;
  for (CNMessageBase& entry : Get(sent[0], ClientSetup::kClientCompositions)) {
    order += Get(Get(Get(entry, ClientsComposition::kClientInfo),
                     ClientInfo::kClientProps),
                 App::ClientProps::kVmName) +
             "\n";
  }
  EXPECT_EQ(order,
            "~!@$^&*+=<>?;|`\ncaf\xC3\xA9 \xFF\nback\\slash\na/b:c\n"
            "dup-2.x_y\n\nweb server#1\ntab\there\n[x]{y}(z)\n%s%n%d\n"
            "quote\"'s\n");
}

TEST_F(GetVMToClientMapTest, IgnoresEverythingButNameAndGuid) {
  VirtualMachine full = Machine("vm1", "g1");
  full.hostName = "h1";
  full.propertyText = "text";
  full.operatingSystem = Os("Darwin", "10");
  full.osType = 7;
  full.alternateId = "a1";
  full.propertyNumber = 9;
  ASSERT_TRUE(GetVMToClientMap({Machine("vm1", "g1")}, clientMap));
  ASSERT_TRUE(GetVMToClientMap({full}, clientMap));
  std::vector<ClientSetup> sent = qzsim::submittedRequests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(Flat(sent[1]), Flat(sent[0]));
  EXPECT_EQ(RenderClients(clientMap), Expected({{"g1", "vm1"}}));
}

TEST_F(GetVMToClientMapTest, FailuresLeaveTheCallersMapAlone) {
  const std::string kept = RenderClients(clientMap);
  qzsim::setRealmServerHostName(std::nullopt);
  gClientMap["g9"] = Named("vm9");
  EXPECT_FALSE(GetVMToClientMap({Machine("vm1", "g1")}, clientMap));
  EXPECT_EQ(RenderLog(), "Debug " + kInitTag +
                             " |getRealmServerHostName failed !!!|\n"
                             "Error GetVMToClientMap |Failed to prepare VM "
                             "clients.|\n");
  EXPECT_TRUE(gClientMap.empty());

  qzsim::reset();
  Answer(std::nullopt);
  gClientMap["g9"] = Named("vm9");
  EXPECT_FALSE(GetVMToClientMap({Machine("vm1", "g1")}, clientMap));
  EXPECT_EQ(RenderLog(),
            "Debug QZClientCreation::Execute |ProcessClientSetupRequestOnRS "
            "Response is NULL.|\n"
            "Error GetVMToClientMap |Failed to get client properties of "
            "VM.|\n");
  EXPECT_TRUE(gClientMap.empty());
  EXPECT_EQ(RenderClients(clientMap), kept);
}

TEST_F(GetVMToClientMapTest, ResponseWithOnlyFailedClientsGivesAnEmptyMap) {
  Answer(MakeSetup({MakeComposition("vm1", 0, MakeError(9, std::nullopt))}));
  EXPECT_TRUE(GetVMToClientMap({Machine("vm1", "g1")}, clientMap));
  EXPECT_TRUE(clientMap.empty());
}

TEST_F(GetVMToClientMapTest, ConcurrentCallsEachGetExactlyTheirOwnMachines) {
  struct Caller {
    std::vector<VirtualMachine> machines;
    std::map<std::string, std::string> names;
    std::string first;
    int faults = 0;
  };
  Caller callers[2];
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < 8; ++i) {
      const std::string n = std::to_string(c) + std::to_string(i);
      callers[c].machines.push_back(Machine("vm #" + n, "guid-" + n));
      callers[c].names["guid-" + n] = "vm__" + n;
    }
  }
  auto run = [](Caller& caller) {
    for (int call = 0; call < 50; ++call) {
      ClientMap result{{"stale", Named("stale")}};
      if (!GetVMToClientMap(caller.machines, result)) {
        ++caller.faults;
        continue;
      }
      // The same clients every time, so their ids must not move either.
      const std::string got = RenderClients(result);
      if (caller.first.empty()) caller.first = got;
      if (got != caller.first) ++caller.faults;
    }
  };
  std::thread first(run, std::ref(callers[0]));
  std::thread second(run, std::ref(callers[1]));
  first.join();
  second.join();
  for (const Caller& caller : callers) {
    EXPECT_EQ(caller.faults, 0);
    EXPECT_EQ(caller.first, Expected(caller.names));
  }
}

}  // namespace
