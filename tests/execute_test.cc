#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "creation_probe.h"
#include "sim/qzsim.h"
#include "test_support.h"

namespace qztest {
namespace {

using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;

constexpr const char kEmptySetup[] = "ClientSetup {\n}\n";

std::string Logged(const std::string& text) {
  return "Debug QZClientCreation::Execute |" + text + "|\n";
}
const std::string kNoCompositions = Logged(
    "ProcessClientSetupRequest Response doesn't have client "
    "composition, clients might not have created ");

ClientSetup WithSetupError(ClientSetup reply, const CNMessageBase& error) {
  qzmsg::Set(reply, ClientSetup::kSetupError, error);
  return reply;
}

// A composition lacking its client info, its client, or its client entity.
std::vector<ClientsComposition> Incomplete() {
  ClientsComposition withInfo;
  qzmsg::Set(withInfo, ClientsComposition::kClientInfo, App::ClientInfo());
  App::ClientInfo noEntity;
  qzmsg::Set(noEntity, App::ClientInfo::kClient, App::Client());
  qzmsg::Set(noEntity, App::ClientInfo::kClientProps, App::ClientProps());
  ClientsComposition withClient;
  qzmsg::Set(withClient, ClientsComposition::kClientInfo, noEntity);
  return {ClientsComposition(), withInfo, withClient};
}

class ExecuteTest : public ::testing::Test {
 protected:
  void SetUp() override { qzsim::reset(); }

  // What a run left behind: the result, the error state, the client id as
  // signed, the postOperation calls, the requests sent, the operating system
  // of client 7, and the response ("{}" when empty, "reply" when the reply).
  std::string Outcome(bool ok, const std::string& reply) {
    const std::string kept = qzsim::render(creation.response);
    return std::string(ok ? "true " : "false ") +
           std::to_string(creation.getErrorCode()) + " [" +
           creation.getErrorString() + "] id " +
           std::to_string(static_cast<long long>(creation.clientId)) +
           " post " + std::to_string(creation.postCalls) + " sent " +
           std::to_string(qzsim::submittedRequests().size()) + " os " +
           std::to_string(qzsim::findClient(7)->osId) + " " +
           (kept == kEmptySetup ? "{}"
            : kept == reply     ? "reply"
                                : kept);
  }

  CreationProbe creation;
};

// A new object holds no id, no family and an empty request, which it
// submits as it is. A prepared request is copied and clears only the error
// state.
TEST_F(ExecuteTest, SubmitsTheRequestItWasPrepared) {
  EXPECT_EQ(creation.osType, TMMsg::INSTALL_OS_NONE);
  Seed("web01", 116, 7);
  Answer(std::nullopt);
  EXPECT_EQ(Outcome(creation.Execute(), ""),
            "false 0 [] id -1 post 0 sent 1 os 116 {}");
  EXPECT_EQ(qzsim::render(qzsim::submittedRequests().at(0)), kEmptySetup);

  ClientSetup prepared = MakeSetup({MakeComposition("web01", 0)});
  const std::string before = qzsim::render(prepared);
  creation.setErrorCode(9);
  creation.setErrorString("old");
  creation.osType = TMMsg::INSTALL_OS_UNIX;
  creation.clientId = 12;
  EXPECT_TRUE(creation.Initialize(prepared));
  qzmsg::Set(prepared, ClientSetup::kNumber1, 5);
  EXPECT_EQ(qzsim::render(creation.request), before);
  EXPECT_EQ(Outcome(true, ""), "true 0 [] id 12 post 0 sent 1 os 116 {}");
  EXPECT_EQ(creation.osType, TMMsg::INSTALL_OS_UNIX);
}

// Every way a reply can end a run. Failed clients leave the last code and
// the last text that came with one; a zero code is no failure. The error of
// the whole request wins over the status; a response is kept only once it
// has compositions, and client ids are read only when the first one has a
// client entity.
TEST_F(ExecuteTest, RepliesSetTheResultTheErrorStateAndTheResponse) {
  const ClientsComposition web01 = MakeComposition("web01", 7);
  const std::vector<ClientsComposition> incomplete = Incomplete();
  ClientSetup unset;
  qzmsg::Set(unset, ClientSetup::kNumber1, 1);
  struct Case {
    std::optional<ClientSetup> reply;
    int status;
    bool pre, post;
    std::string log, outcome;
  };
  const Case cases[] = {
      {MakeSetup({web01}), 0, false, true, Logged("Pre Operation failed"),
       "false 0 [] id -1 post 0 sent 0 os 116 {}"},
      {std::nullopt, 7, true, true,
       Logged("ProcessClientSetupRequestOnRS Response is NULL."),
       "false 0 [] id -1 post 0 sent 1 os 116 {}"},
      {MakeSetup({
           MakeComposition("bad1", 0, MakeError(11, std::string("disk full"))),
           web01,
           MakeComposition("zero", 0, MakeError(0, std::string("ignored"))),
           MakeComposition("nocode", 0, MakeError({}, std::string("x"))),
           MakeComposition("bad2", 0, MakeError(22, std::nullopt)),
       }),
       0, true, true,
       FailureLog("bad1", "11", "disk full") + FailureLog("bad2", "22"),
       "true 22 [disk full] id 0 post 1 sent 1 os 21 reply"},
      {WithSetupError(MakeSetup({MakeComposition("bad", 0, MakeError(3, {}))}),
                      MakeError(4000000000LL, std::string("license %s"))),
       5, true, true,
       FailureLog("bad", "3") +
           "debug |ProcessClientSetupRequest Failed with errorCode "
           "[4000000000] |\ndebug |Error string [license %s]|\n",
       "false 4000000000 [license %s] id -1 post 0 sent 1 os 116 {}"},
      {WithSetupError(MakeSetup({web01}), MakeError(0, std::string("fine"))), 0,
       true, true, "", "true 0 [] id 7 post 1 sent 1 os 21 reply"},
      {MakeSetup(
           {MakeComposition("bad", 0, MakeError(8, std::string("t"))), web01}),
       -1, true, true,
       FailureLog("bad", "8", "t") +
           "debug |ProcessClientSetupRequest Failed with Unknown Error.Please "
           "check QZInstallManager.log for more details.|\n",
       "false 8 [t] id -1 post 0 sent 1 os 116 {}"},
      {unset, 0, true, true, kNoCompositions,
       "false 0 [] id -1 post 0 sent 1 os 116 {}"},
      {MakeSetup({}), 0, true, true, kNoCompositions,
       "false 0 [] id -1 post 0 sent 1 os 116 {}"},
      {MakeSetup({incomplete[0], web01}), 0, true, true, kNoCompositions,
       "false 0 [] id -1 post 0 sent 1 os 116 reply"},
      {MakeSetup({incomplete[1], incomplete[0]}), 0, true, true,
       kNoCompositions, "false 0 [] id -1 post 0 sent 1 os 116 reply"},
      {MakeSetup({incomplete[2], incomplete[0], incomplete[1]}), 0, true, true,
       kNoCompositions, "false 0 [] id -1 post 0 sent 1 os 116 reply"},
      {MakeSetup({web01, incomplete[0], incomplete[2]}), 0, true, true, "",
       "true 0 [] id 7 post 1 sent 1 os 21 reply"},
      {MakeSetup({web01}), 0, true, false, Logged("Post Operation failed "),
       "false 0 [] id 7 post 1 sent 1 os 21 reply"},
  };
  for (const Case& c : cases) {
    qzsim::reset();
    Seed("web01", 116, 7);
    Answer(c.reply, c.status);
    creation = CreationProbe();
    creation.osType = TMMsg::INSTALL_OS_WINDOWS;
    creation.preResult = c.pre;
    creation.postResult = c.post;
    const bool ok = creation.Execute();
    EXPECT_EQ(RenderLog(), c.log);
    EXPECT_EQ(Outcome(ok, c.reply ? qzsim::render(*c.reply) : ""), c.outcome)
        << RenderLog();
  }
}

// Only clients the server pre-declared (operating system 116) are adjusted,
// and only for a family with a target; without one, no client record is
// even opened. Ids are the low 32 bits of the field, widened with their
// sign.
TEST_F(ExecuteTest, AdjustsOnlyPreDeclaredClientsOfTheFamily) {
  const std::pair<TMMsg::InstallOSType, int> families[] = {
      {TMMsg::INSTALL_OS_WINDOWS, 21},
      {TMMsg::INSTALL_OS_UNIX, 20},
      {TMMsg::INSTALL_OS_ANY, 0},
      {TMMsg::INSTALL_OS_NONE, 0},
      {static_cast<TMMsg::InstallOSType>(-3), 0}};
  for (const auto& [family, osId] : families) {
    qzsim::reset();
    Seed("fresh", 116, 5);
    Seed("agent", 7, 6);
    Answer(
        MakeSetup({MakeComposition("wide", 0x180000005LL),
                   MakeComposition("fresh", 5), MakeComposition("none", 0),
                   MakeComposition("agent", 6), MakeComposition("gone", 999)}));
    creation.osType = family;
    EXPECT_TRUE(creation.Execute());
    const std::string os = std::to_string(osId);
    const auto opened = [](const std::string& id) {
      return "QZClient(id=" + id + ")\ngetOperatingSystemId(id=" + id + ")\n";
    };
    EXPECT_EQ(RenderCalls(),
              osId == 0 ? ""
                        : opened("18446744071562067973") + opened("5") +
                              "lookup\nsetevmgrcPort(0)\nsetQZDPort(0)\n"
                              "setInstallDirectory(N/A,4)\n"
                              "setOperatingSystemId(" +
                              os + ")\nmodify\n" + opened("6") + opened("999"));
    const std::string fresh = osId == 0
                                  ? "116 ports 8400/8401 dir /opt/agent(1)"
                                  : os + " ports 0/0 dir N/A(4)";
    EXPECT_EQ(RenderCatalogue(),
              "5 fresh host  os " + fresh +
                  " groups\n6 agent host  os 7 ports 8400/8401 dir "
                  "/opt/agent(1) groups\n");
    EXPECT_EQ(creation.clientId, 0xFFFFFFFF80000005ULL);
  }
}

TEST_F(ExecuteTest, ServiceExceptionsReachTheCaller) {
  qzsim::setInstallHandler(
      [](const ClientSetup&, std::optional<ClientSetup>&) -> int {
        throw std::runtime_error("link down");
      });
  EXPECT_THROW(creation.Execute(), std::runtime_error);
}

}  // namespace
}  // namespace qztest
