#include <gtest/gtest.h>
#include <sqlite3.h>

#include <optional>
#include <string>
#include <vector>

#include "creation_probe.h"
#include "sim/qzsim.h"
#include "test_support.h"

namespace qztest {
namespace {

using QZInstallManager::AddOnComponents;
using QZInstallManager::ClientSetup;

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
  return out + " } components: " + FlatComponents(packages) + " }";
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
  return FlatHeader("0") + compositions + " ]" + after + " }";
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

// The stage: db01 (id 1), db02 (2, no host name) and db03 (3, deleted) in
// the catalogue, and the simulation's defaults. Each build is checked whole,
// then the next starts afresh on the same stage.
class NamedClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qzsim::reset();
    Seed("db01", 116, 0, "db01.corp.example");
    Seed("db02");
    Seed("db03", 116, 0, "old.example", true);
  }

  // The request; the build's result and the probe's id, family, host name
  // and error state; the catalogue calls; the log.
  void Expect(bool ok, const std::string& request, const std::string& state,
              const std::string& calls, const std::string& log) {
    EXPECT_EQ(Flat(probe.request), request);
    EXPECT_EQ(std::string(ok ? "true" : "false") + " id " +
                  std::to_string(static_cast<long long>(probe.clientId)) +
                  " family " + std::to_string(probe.osType) + " host " +
                  probe.hostName + " error " + std::to_string(probe.errorCode) +
                  " [" + probe.errorString + "]",
              state);
    EXPECT_EQ(RenderCalls(), calls);
    EXPECT_EQ(RenderLog(), log);
    probe = CreationProbe();
    SetUp();
  }

  CreationProbe probe;
  std::vector<AddOnComponents> none;
};

std::string Lookup(const std::string& name, bool known = false) {
  return "QZClient(name=" + name + ")\ngetClientId\n" +
         (known ? "isDeleted\ngetNetworkHostname\n" : "");
}
std::string GroupCreated(const std::string& name, int realm = 1) {
  return "QZClientGroup(realm=" + std::to_string(realm) + ",name=" + name +
         ")\ncreate\n";
}
std::string GroupLog(const std::string& name, int realm = 1) {
  return Logged("client group [" + name + "] realmId [" +
                std::to_string(realm) + "]");
}

// An empty catalogue host name falls back to the client name and a given
// one yields to the catalogue's; a deleted client keeps its id but is
// declared as a new one. Only component 600, judged by its low 32 bits,
// stands for the Windows package; the flag is number6. Odd names go out
// unchanged.
TEST_F(NamedClientTest, DeclaresOneClientAsTheCatalogueKnowsIt) {
  Expect(probe.Initialize(std::string("web01")),
         Request(Single("web01", "web01", kOsAny)),
         "true id -1 family 4 host  error 0 []", Lookup("web01"), "");
  Expect(probe.Initialize("db01", TMMsg::INSTALL_OS_WINDOWS, none, false),
         Request(Single("db01", "db01.corp.example", kNoOs)),
         "true id 1 family 0 host db01.corp.example error 0 []",
         Lookup("db01", true), "");
  Expect(probe.Initialize("db02", TMMsg::INSTALL_OS_UNIX, none, false),
         Request(Single("db02", "db02", kNoOs)),
         "true id 2 family 1 host  error 0 []", Lookup("db02", true), "");
  Expect(probe.Initialize("db03", TMMsg::INSTALL_OS_UNIX, none, false),
         Request(Single("db03", "old.example", kOsUnix)),
         "true id 3 family 1 host old.example error 0 []", Lookup("db03", true),
         "");
  // A deleted flag that cannot be read (the first SQLite call of isDeleted
  // is the twelfth) leaves a live client declared live.
  qzsim::failCatalogueCall(12, SQLITE_IOERR);
  Expect(probe.Initialize("db01", TMMsg::INSTALL_OS_UNIX, none, false),
         Request(Single("db01", "db01.corp.example", kNoOs)),
         "true id 1 family 1 host db01.corp.example error 0 []",
         Lookup("db01") +
             "isDeleted [failed: client catalogue :memory:: bind "
             "failed: disk I/O error (I/O error)]\ngetNetworkHostname\n",
         "");
  Expect(probe.Initialize("web01", TMMsg::INSTALL_OS_ANY, "web01.dmz.example",
                          none, false),
         Request(Single("web01", "web01.dmz.example", kOsAny)),
         "true id -1 family 4 host web01.dmz.example error 0 []",
         Lookup("web01"), "");
  Expect(probe.Initialize("db01", TMMsg::INSTALL_OS_ANY, "db01.dmz.example",
                          none, false),
         Request(Single("db01", "db01.corp.example", kNoOs)),
         "true id 1 family 4 host db01.corp.example error 0 []",
         Lookup("db01", true), "");
  std::vector<AddOnComponents> addOns = AddOns(
      {600, 605, 7, 0x100000258LL, 0x258 + (1LL << 32) * 7, 601, -600, 600});
  Expect(probe.Initialize("win01", TMMsg::INSTALL_OS_WINDOWS, addOns, true),
         Request(Single("win01", "win01", kOsWindows, "",
                        {402, 1123, 1123, 402, 402, 1123, 1123, 402}, "1")),
         "true id -1 family 0 host  error 0 []", Lookup("win01"), "");

  // The group is created after the lookup; its troubles are logged and
  // passed over.
  qzsim::setRealmId(0);
  qzsim::setGroupCreateResult(5);
  Expect(probe.Initialize("web01", "g", TMMsg::INSTALL_OS_ANY, none),
         Request(Single("web01", "web01", kOsAny, "g")),
         "true id -1 family 4 host  error 0 []",
         Lookup("web01") + GroupCreated("g", 2),
         Logged(" realm Id is zero, using 2") + GroupLog("g", 2) +
             "DebugLvl(2) QZClientCreation::Initialize |Failed to create "
             "client group g, error 5, continuing|\n");

  // Format directives stay text, in the request and in the log.
  Expect(probe.Initialize("%s%n%d\xC3\xA9", "%s%n%d\xFF", TMMsg::INSTALL_OS_ANY,
                          none),
         Request(Single("%s%n%d\\xC3\\xA9", "%s%n%d\\xC3\\xA9", kOsAny,
                        "%s%n%d\\xFF")),
         "true id -1 family 4 host  error 0 []",
         Lookup("%s%n%d\xC3\xA9") + GroupCreated("%s%n%d\xFF"),
         GroupLog("%s%n%d\xFF"));
  const std::string huge(1 << 20, 'h');
  Expect(probe.Initialize(huge), Request(Single(huge, huge, kOsAny)),
         "true id -1 family 4 host  error 0 []", Lookup(huge), "");

  // A rebuild replaces the composition list and keeps other builders'
  // fields; a failed build leaves the request as it was, the group created.
  qzmsg::Set(probe.request, ClientSetup::kNumber30, -7);
  Expect(probe.Initialize(std::string("old01")) &&
             probe.Initialize(std::string("web01")),
         Request(Single("web01", "web01", kOsAny), " number30: -7"),
         "true id -1 family 4 host  error 0 []",
         Lookup("old01") + Lookup("web01"), "");

  qzmsg::Set(probe.request, ClientSetup::kNumber30, 7);
  probe.setErrorCode(9);
  probe.setErrorString("old");
  qzsim::setRealmServerHostName(std::nullopt);
  Expect(probe.Initialize("db01", "g", TMMsg::INSTALL_OS_UNIX, none),
         "ClientSetup { number30: 7 }",
         "false id 1 family 1 host db01.corp.example error 0 []",
         Lookup("db01", true) + GroupCreated("g"),
         GroupLog("g") + kHostNameFailed);
}

// Nobody is looked up, and names go out unchanged; each client is its own
// host, even with a host name held; the group is created even for no
// clients, and before a failure.
TEST_F(NamedClientTest, DeclaresEveryClientOfAListInOrder) {
  std::vector<AddOnComponents> addOns = AddOns({605, 600});
  std::string each;
  for (const char* name : {"c", "", "dup", "dup", "%s%n%d", "\\x80\\xFE"}) {
    each += Multi(name, kOsWindows, "%n%s", {1123, 402});
  }
  probe.clientGroupName = "%n%s";
  probe.clientId = 5;
  Expect(probe.Initialize(std::vector<std::string>{"c", "", "dup", "dup",
                                                   "%s%n%d", "\x80\xFE"},
                          TMMsg::INSTALL_OS_WINDOWS, addOns),
         Request(each), "true id -1 family 0 host  error 0 []",
         GroupCreated("%n%s"), GroupLog("%n%s"));

  Expect(probe.Initialize("solo", TMMsg::INSTALL_OS_UNIX, "solo.example", none,
                          false) &&
             probe.Initialize(std::vector<std::string>{"x", "y"}),
         Request(Multi("x", kOsAny) + Multi("y", kOsAny)),
         "true id -1 family 4 host solo.example error 0 []", Lookup("solo"),
         "");

  probe.clientGroupName = "g";
  probe.clientId = 12;
  Expect(probe.Initialize(std::vector<std::string>{}, TMMsg::INSTALL_OS_UNIX,
                          none),
         Request(""), "true id 12 family 1 host  error 0 []", GroupCreated("g"),
         GroupLog("g"));

  probe.clientGroupName = "g";
  probe.setErrorCode(9);
  probe.setErrorString("old");
  probe.clientId = 3;
  qzsim::setRealmServerHostName(std::nullopt);
  Expect(probe.Initialize(std::vector<std::string>{"a"}, TMMsg::INSTALL_OS_UNIX,
                          none),
         "ClientSetup { }", "false id 3 family 1 host  error 0 []",
         GroupCreated("g"), GroupLog("g") + kHostNameFailed);
}

}  // namespace
}  // namespace qztest
