#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
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
using qzmsg::Get;
using qzmsg::Set;
using ClientMap = std::map<std::string, ClientData>;
using VmProbe = Exposed<VirtualDiscoveredClientCreation>;

const std::string kInitTag = "VirtualDiscoveredClientCreation::Initialize";
const std::string kStartFailed =
    "DebugLvl(1) " + kInitTag +
    " |Error [7] returned from CNMessageBase::Initialize.|\n";
const std::string kHostNameFailed =
    "Debug " + kInitTag + " |getRealmServerHostName failed !!!|\n";

template <class Creation>
std::string DescribeMembers(const Exposed<Creation>& c) {
  return c.clientName + "|" + c.clientGroupName + "|" + c.hostName + "|" +
         std::to_string(c.idList.size() + c.clientDataMap.size() +
                        c.intList.size()) +
         "|" + std::to_string(c.osType) + "|" + std::to_string(c.clientId) +
         "|" + std::to_string(c.errorCode) + "|" + c.errorString + "\n" +
         qzsim::render(c.request) + qzsim::render(c.response);
}

VirtualMachine Machine(const std::string& name, const std::string& guid) {
  return {name, "", "", guid, {}, 0, "", 0};
}

ClientData Named(const std::string& name, unsigned int propertyNumber = 0) {
  ClientData data;
  data.clientName = name;
  data.propertyNumber = propertyNumber;
  return data;
}

App::OperatingSystem Os(const std::string& flavor, const std::string& version,
                        long long osId = 0) {
  App::OperatingSystem os;
  if (osId != 0) Set(os, App::OperatingSystem::kOsId, osId);
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
  Set(info, App::ClientInfo::kClientProps, props);
  Set(Get(info, App::ClientInfo::kClient), App::Client::kNumber16, number16);
  return composition;
}

// A client-data entry as Flat renders it.
std::string DataEntry(const std::string& guid, const std::string& name,
                      const std::string& display,
                      const std::string& number = "0") {
  return R"( ClientsComposition { clientInfo: ClientInfo { client: Client { )"
         R"(clientEntity: ClientEntity { clientId: 0 clientName: ")" +
         name + R"(" displayName: ")" + display +
         R"(" } } clientProps: ClientProps { vmGuid: ")" + guid +
         R"(" vmName: ")" + display + R"(" number271: )" + number + " } } }";
}

// A machine's flat composition in group "grp"; `os` holds the operating
// system's fields and `guid` the key sent.
std::string MachineEntry(const std::string& name, const std::string& display,
                         const std::string& host, const std::string& os,
                         const std::string& guid, const std::string& text,
                         const std::string& number, long long package) {
  return R"( ClientsComposition { clientInfo: ClientInfo { client: Client { )"
         R"(clientEntity: ClientEntity { clientName: ")" +
         name + R"(" hostName: ")" + host + R"(" displayName: ")" + display +
         R"(" } operatingSystem: OperatingSystem { )" + os +
         R"( } filePath: FilePath { path: "N/A" } text19: "N/A" versionInfo: )"
         R"(VersionInfo { release: BeaconReleaseEnity { releaseName: "11.0" )"
         R"(} version: "BUILD80" } } clientProps: ClientProps { number2: 0 )"
         R"(number23: 0 attributes: [ ] number168: 1 vmGuid: ")" +
         guid + R"(" text174: ")" + text + R"(" vmName: ")" + display +
         R"(" vmHostName: ")" + host + R"(" number271: )" + number +
         R"( } clientGroups: [ ClientGroupEntity { clientGroupName: "grp" } )"
         R"(] } components: )" +
         FlatComponents({package}) + " }";
}

class VmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qzsim::reset();
    gClientMap.clear();
  }

  VmProbe creation;
};

// Every byte at many positions of a long text; only the first character
// of the replacement is used.
TEST(ReplaceSpecialCharsTest, ReplacesExactlyTheDisallowedBytes) {
  const std::string disallowed = "\t !\"#$%&'()*+,/:;<=>?@[\\]^`{|}~";
  std::string text;
  std::string expected;
  for (int i = 0; i < (1 << 20); ++i) {
    const char c = static_cast<char>(i);
    text += c;
    expected += disallowed.find(c) == std::string::npos ? c : 'x';
  }
  replaceSpecialChars(text, "xy");
  EXPECT_EQ(text, expected);

  // An empty replacement fails only when there is something to replace.
  EXPECT_NO_THROW(replaceSpecialChars(text = "db-01.corp_x\x7F\x80", ""));
  EXPECT_EQ(text, "db-01.corp_x\x7F\x80");
  EXPECT_THROW(replaceSpecialChars(text = "vm01 #2", ""), std::out_of_range);
  EXPECT_EQ(text, "vm01 #2");
}

using VirtualDiscoveredClientCreationTest = VmTest;

// Both request builders clear the client map and leave the request alone
// when they fail; the client-data one says why. A facility that does not
// start stops the machine-list one before it changes anything.
TEST_F(VirtualDiscoveredClientCreationTest,
       FailedInitializeClearsTheClientMap) {
  struct Failure {
    bool machineList, facility;
    std::string group, text, log;
    unsigned long long code;
  };
  const Failure failures[] = {
      {false, true, "old", "Failed to initialize CNMessageBase::Initialize",
       kStartFailed, 0},
      {false, false, "old", "getRealmServerHostName failed !!!",
       kHostNameFailed, 0},
      {true, true, "old", "old error", kStartFailed, 9},
      {true, false, "grp", "",
       "Debug " + kInitTag + " |client group [grp] realmId [1]|\n" +
           kHostNameFailed,
       0},
  };
  creation.clientGroupName = "old";
  creation.errorCode = 9;
  creation.errorString = "old error";
  Set(creation.request, ClientSetup::kNumber30, 5);
  for (const Failure& f : failures) {
    qzsim::reset();
    qzsim::setMessageFacilityStartResult(f.facility ? 7 : 0);
    if (!f.facility) qzsim::setRealmServerHostName(std::nullopt);
    gClientMap["g1"] = Named("vm1");
    VmProbe failed = creation;
    EXPECT_FALSE(
        f.machineList
            ? failed.Initialize({Machine("vm2", "g2")}, "grp", true, 1, 2)
            : failed.Initialize(ClientMap{{"g2", Named("vm2")}}));
    VmProbe expected = creation;
    expected.clientGroupName = f.group;
    expected.errorCode = f.code;
    expected.errorString = f.text;
    EXPECT_EQ(
        DescribeMembers(failed) + RenderClientMap(gClientMap) + RenderLog(),
        DescribeMembers(expected) + f.log);
  }
}

using VmClientDataRequestTest = VmTest;

TEST_F(VmClientDataRequestTest, BuildsOneClientPerEntry) {
  gClientMap["stale"] = Named("old");
  creation.setErrorString("old error");
  ASSERT_TRUE(creation.Initialize(
      ClientMap{{"a1", Named("web server#1", 0xFFFFFFFFu)}}));
  EXPECT_EQ(Flat(creation.request),
            FlatHeader("34") +
                DataEntry("a1", "web_server_1", "web server#1", "4294967295") +
                " ] }");
  EXPECT_EQ(creation.errorString + RenderClientMap(gClientMap) + RenderLog(),
            "");

  // Handed the client map itself, it empties the map first.
  gClientMap["g1"] = Named("vm1");
  ASSERT_TRUE(creation.Initialize(gClientMap));
  EXPECT_EQ(Flat(creation.request), FlatHeader("34") + " ] }");
}

using VmMachineListRequestTest = VmTest;

// Darwin, in any case, reports version 6; other machines keep only "New",
// in any case, and report "Any" otherwise. An empty group clears an earlier
// one without reading the realm; unasked, no package or group is added.
TEST_F(VmMachineListRequestTest, BuildsEveryMachineIntoTheRequest) {
  ASSERT_TRUE(creation.Initialize(
      {{"a/b:c", "h1", "text one", "g1", Os("dArWiN", "10.4"), 7, "",
        0xFFFFFFFFu},
       {"web server#2", "h2", "", "g2", Os("Server", "nEw", 313), 0, "a2", 0}},
      "grp", true, -5, INT_MIN));
  EXPECT_EQ(Flat(creation.request),
            FlatHeader("20") +
                MachineEntry("a_b_c", "a/b:c", "h1",
                             R"(osFlavor: "dArWiN" osVersion: "6")", "g1",
                             "text one", "4294967295", 1123) +
                MachineEntry("web_server_2", "web server#2", "h2",
                             R"(osId: 313 osFlavor: "Server" osVersion: "nEw")",
                             "g2,a2", "", "0", 402) +
                " ] installerFlags: InstallerFlags { number70: -5 } "
                "number30: -2147483648 }");
  qzsim::setRealmId(0);  // a read would log the substitute
  qzsim::clearLog();
  const std::pair<App::OperatingSystem, std::string> cases[] = {
      {Os("DARWIN", "new"), "6"},      {Os("darwin", ""), "6"},
      {Os("Server", "nEW"), "nEW"},    {Os("Server", ""), "Any"},
      {Os("Server", "10"), "Any"},     {Os("Darwinism", "10"), "Any"},
      {App::OperatingSystem(), "Any"},
  };
  for (const auto& [os, version] : cases) {
    const VirtualMachine machine{"vm", "", "", "g", os, 0, "", 0};
    ASSERT_TRUE(creation.Initialize({machine}, "", false, 0, 0));
    const std::string flat = Flat(creation.request);
    EXPECT_NE(flat.find(R"(osVersion: ")" + version + "\" }"),
              std::string::npos);
    EXPECT_EQ(flat.find("components"), std::string::npos);
    EXPECT_EQ(flat.find("clientGroups"), std::string::npos);
  }
  EXPECT_EQ(creation.clientGroupName + RenderLog() + RenderCalls(),
            "QZClientGroup(realm=1,name=grp)\ncreate\n");
}

using VmPostOperationTest = VmTest;

std::string Filed(const std::string& guid, const std::string& name,
                  const std::string& id) {
  return "DebugLvl(2) VirtualDiscoveredClientCreation::postOperation "
         "|VMGUID [" +
         guid + "] -> Name[" + name + "], Client Id[" + id + "]|\n";
}

// Failed clients are logged and not filed; a zero code is no failure, and a
// client without properties goes under the empty key.
TEST_F(VmPostOperationTest, FilesEachClientUnderTheKeyItsResponseCarries) {
  Answer(MakeSetup({
      Created("c1", 11, "g1"),
      Created("c2", 12, "g2,a2", "", 40, 41),
      Created("c3", 0x10000000DLL, "g3,"),
      MakeComposition("bad", 0, MakeError(20001, std::string("no %s name"))),
      Created("c4", 14, "g4,a4,b4"),
      Created("c5", 15, "g5", "t5"),
      MakeComposition("bad2", 0, MakeError(5, std::nullopt)),
      Created("c6", 0x80000000LL, "g6", "", 0x1FFFFFFFFLL, 0x180000000LL),
      Created("c7", 17, "g1"),
      MakeComposition("zero", 3, MakeError(0, std::string("fine"))),
  }));
  ASSERT_TRUE(creation.Initialize(ClientMap{}));
  ASSERT_TRUE(creation.Execute());

  EXPECT_EQ(RenderClientMap(gClientMap),
            " -> zero|3|0||0||0|0|\n"
            "a2 -> c2|12|40||0||0|41|g2,a2\n"
            "a4,b4 -> c4|14|0||0||0|0|g4,a4,b4\n"
            "g1 -> c7|17|0||0||0|0|g1\n"
            "g3 -> c3|13|0||0||0|0|g3,\n"
            "g6 -> c6|-2147483648|-1||0||0|-2147483648|g6\n"
            "t5 -> c5|15|0||0||0|0|g5\n");
  EXPECT_EQ(
      RenderLog(),
      FailureLog("bad", "20001", "no %s name") + FailureLog("bad2", "5") +
          Filed("g1", "c1", "11") + Filed("g2", "c2", "12") +
          Filed("g3", "c3", "13") +
          "debug |ProcessClientSetupRequest Failed with errorCode [20001] for "
          "client [bad] |\n"
          "debug |Error string [no %s name]|\n" +
          Filed("g4", "c4", "14") + Filed("t5", "c5", "15") +
          "debug |ProcessClientSetupRequest Failed with errorCode [5] for "
          "client [bad2] |\n" +
          Filed("g6", "c6", "18446744071562067968") + Filed("g1", "c7", "17") +
          Filed("", "zero", "3"));

  // Called before any response, it files nothing and fails; an empty list
  // of compositions is no failure.
  VmProbe fresh;
  qzsim::clearLog();
  gClientMap = {{"g1", Named("vm1")}};
  EXPECT_FALSE(fresh.postOperation());
  EXPECT_EQ(RenderLog(),
            "debug |ProcessClientSetupRequest Response doesn't have client "
            "composition, clients might not have created |\n");
  qzsim::clearLog();
  fresh.response = MakeSetup({});
  EXPECT_TRUE(fresh.postOperation());
  EXPECT_EQ(RenderLog() + RenderClientMap(gClientMap),
            "g1 -> vm1|0|0||0||0|0|\n");
}

class GetVMToClientMapTest : public VmTest {
 protected:
  // What a caller should get back: for each GUID, the client the catalogue
  // now holds under the given name.
  static std::string Expected(const std::map<std::string, std::string>& names) {
    ClientMap clients;
    for (const auto& [guid, name] : names) {
      ClientData& data = clients[guid] = Named(name);
      const auto held = qzsim::findClientByName(name);
      data.clientId = held ? held->id : -1;
      data.vmGuid = guid;
    }
    return RenderClientMap(clients);
  }

  ClientMap clientMap{{"mine", Named("kept")}};
};

// Only name and GUID are sent, in GUID order, the later of two machines
// with one GUID taken; the server refuses the empty name.
TEST_F(GetVMToClientMapTest, MapsAwkwardlyNamedMachinesToTheirClients) {
  const std::vector<VirtualMachine> machines = {
      {"web server#1", "h1", "text", "guid-07", Os("Darwin", "10"), 7, "a1", 9},
      Machine("caf\xC3\xA9 \xFF", "g-01"),
      Machine("", "guid-05"),
      Machine("dup first", "guid-04"),
      Machine("dup-2.x_y", "guid-04"),
  };
  EXPECT_TRUE(GetVMToClientMap(machines, clientMap));

  EXPECT_EQ(RenderClientMap(clientMap),
            Expected({{"g-01", "caf\xC3\xA9_\xFF"},
                      {"guid-04", "dup-2.x_y"},
                      {"guid-07", "web_server_1"}}));
  EXPECT_EQ(RenderClientMap(gClientMap), RenderClientMap(clientMap));
  EXPECT_EQ(
      Flat(qzsim::submittedRequests().at(0)),
      FlatHeader("34") +
          DataEntry("g-01", "caf\\xC3\\xA9_\\xFF", "caf\\xC3\\xA9 \\xFF") +
          DataEntry("guid-04", "dup-2.x_y", "dup-2.x_y") +
          DataEntry("guid-05", "", "") +
          DataEntry("guid-07", "web_server_1", "web server#1") + " ] }");
}

// Only a call that gets a response replaces the caller's map; an empty
// list asks nothing and changes nothing.
TEST_F(GetVMToClientMapTest, FailuresLeaveTheCallersMapAlone) {
  const std::string kept = RenderClientMap(clientMap);
  gClientMap["g1"] = Named("vm1");
  EXPECT_TRUE(GetVMToClientMap({}, clientMap));
  EXPECT_EQ(
      RenderLog() + RenderClientMap(clientMap) + RenderClientMap(gClientMap),
      "Debug GetVMToClientMap |Input VM vector is empty.Nothing to "
      "do.|\n" +
          kept + "g1 -> vm1|0|0||0||0|0|\n");
  EXPECT_TRUE(qzsim::submittedRequests().empty());

  qzsim::clearLog();
  qzsim::setRealmServerHostName(std::nullopt);
  EXPECT_FALSE(GetVMToClientMap({Machine("vm1", "g1")}, clientMap));
  EXPECT_EQ(RenderLog(),
            kHostNameFailed +
                "Error GetVMToClientMap |Failed to prepare VM clients.|\n");

  qzsim::reset();
  Answer(std::nullopt);
  EXPECT_FALSE(GetVMToClientMap({Machine("vm1", "g1")}, clientMap));
  EXPECT_EQ(RenderLog() + RenderClientMap(clientMap),
            "Debug QZClientCreation::Execute |ProcessClientSetupRequestOnRS "
            "Response is NULL.|\n"
            "Error GetVMToClientMap |Failed to get client properties of "
            "VM.|\n" +
                kept);

  // A response of failed clients alone is no failure: nothing comes back.
  Answer(MakeSetup({MakeComposition("vm1", 0, MakeError(9, std::nullopt))}));
  EXPECT_TRUE(GetVMToClientMap({Machine("vm1", "g1")}, clientMap));
  EXPECT_TRUE(clientMap.empty());
}

TEST_F(GetVMToClientMapTest, ConcurrentCallsEachGetExactlyTheirOwnMachines) {
  std::vector<VirtualMachine> machines[2];
  std::map<std::string, std::string> names[2];
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < 8; ++i) {
      const std::string n = std::to_string(10 * c + i);
      machines[c].push_back(Machine("vm #" + n, "guid-" + n));
      names[c]["guid-" + n] = "vm__" + n;
    }
  }
  std::vector<std::string> results[2];
  auto run = [&machines, &results](int c) {
    for (int call = 0; call < 50; ++call) {
      ClientMap result{{"stale", Named("stale")}};
      results[c].push_back(GetVMToClientMap(machines[c], result)
                               ? RenderClientMap(result)
                               : "failed\n");
    }
  };
  std::thread other(run, 0);
  run(1);
  other.join();
  // The same clients every time, so their ids must not move either.
  for (int c = 0; c < 2; ++c)
    EXPECT_EQ(results[c], std::vector<std::string>(50, Expected(names[c])));
}

}  // namespace
}  // namespace qztest
