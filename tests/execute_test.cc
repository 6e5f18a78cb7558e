#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "creation_probe.h"
#include "sim/qzsim.h"
#include "test_support.h"

namespace {

using QZInstallManager::ClientSetup;
using qztest::CreationProbe;
using qztest::MakeComposition;
using qztest::MakeError;
using qztest::MakeSetup;
using qztest::RenderCalls;
using qztest::RenderLog;

constexpr const char kEmptySetup[] = "ClientSetup {\n}\n";

class ExecuteTest : public ::testing::Test {
 protected:
  void SetUp() override { qzsim::reset(); }

  // The install service answers every request with `reply` and `status`.
  static void Answer(std::optional<ClientSetup> reply, int status = 0) {
    qzsim::setInstallHandler(
        [reply, status](const ClientSetup&, std::optional<ClientSetup>& out) {
          out = reply;
          return status;
        });
  }

  // A client in the catalogue with the given operating-system id.
  static long long Seed(const std::string& name, int osId) {
    qzsim::ClientRecord client;
    client.name = name;
    client.osId = osId;
    client.evmgrcPort = 8400;
    client.qzdPort = 8401;
    client.installDirectory = "/opt/agent";
    client.installDirectoryKind = 1;
    return qzsim::addClient(client);
  }

  CreationProbe creation;
};

TEST_F(ExecuteTest, NewObjectHoldsNoIdNoFamilyAndNoError) {
  EXPECT_EQ(creation.osType, TMMsg::INSTALL_OS_NONE);
  EXPECT_EQ(creation.clientId, ~0ULL);
  EXPECT_EQ(creation.getErrorCode(), 0u);
  EXPECT_EQ(creation.getErrorString(), "");
  EXPECT_EQ(qzsim::render(creation.request), kEmptySetup);
  EXPECT_EQ(qzsim::render(creation.response), kEmptySetup);
}

TEST_F(ExecuteTest, PreparedRequestIsCopiedAndClearsOnlyTheErrorState) {
  ClientSetup prepared = MakeSetup({MakeComposition("web01", 0)});
  const std::string before = qzsim::render(prepared);
  creation.setErrorCode(9);
  creation.setErrorString("old");
  creation.osType = TMMsg::INSTALL_OS_UNIX;
  creation.clientId = 12;

  EXPECT_TRUE(creation.Initialize(prepared));
  qzmsg::Set(prepared, ClientSetup::kNumber1, 5);

  EXPECT_EQ(qzsim::render(creation.request), before);
  EXPECT_EQ(creation.getErrorCode(), 0u);
  EXPECT_EQ(creation.getErrorString(), "");
  EXPECT_EQ(creation.osType, TMMsg::INSTALL_OS_UNIX);
  EXPECT_EQ(creation.clientId, 12u);
}

TEST_F(ExecuteTest, FailingPreOperationSubmitsNothing) {
  creation.preResult = false;
  EXPECT_FALSE(creation.Execute());
  EXPECT_EQ(RenderLog(),
            "Debug QZClientCreation::Execute |Pre Operation failed|\n");
  EXPECT_TRUE(qzsim::submittedRequests().empty());
  EXPECT_EQ(creation.postCalls, 0);
}

TEST_F(ExecuteTest, MissingResponseIsReportedAloneWhateverTheStatus) {
  Answer(std::nullopt, 7);
  EXPECT_FALSE(creation.Execute());
  EXPECT_EQ(RenderLog(),
            "Debug QZClientCreation::Execute "
            "|ProcessClientSetupRequestOnRS Response is NULL.|\n");
  EXPECT_EQ(creation.getErrorCode(), 0u);
  EXPECT_EQ(qzsim::render(creation.response), kEmptySetup);
  EXPECT_EQ(qzsim::submittedRequests().size(), 1u);
}

TEST_F(ExecuteTest, FailedClientsLeaveTheLastCodeAndTheLastTextButGoOn) {
  const long long good = Seed("good", 116);
  Answer(MakeSetup({
      MakeComposition("bad1", 0, MakeError(11, std::string("disk full"))),
      MakeComposition("good", good),
      MakeComposition("zero", 0, MakeError(0, std::string("ignored"))),
      MakeComposition("nocode", 0, MakeError(std::nullopt, std::string("x"))),
      MakeComposition("bad2", 0, MakeError(22, std::nullopt)),
  }));
  creation.osType = TMMsg::INSTALL_OS_WINDOWS;

  EXPECT_TRUE(creation.Execute());
  EXPECT_EQ(RenderLog(),
            "debug |Failed to create the client for [bad1]|\n"
            "debug |ProcessClientSetupRequest Failed with errorCode [11] |\n"
            "debug |Error string [disk full]|\n"
            "debug |Failed to create the client for [bad2]|\n"
            "debug |ProcessClientSetupRequest Failed with errorCode [22] |\n");
  EXPECT_EQ(creation.getErrorCode(), 22u);
  EXPECT_EQ(creation.getErrorString(), "disk full");
  EXPECT_EQ(creation.clientId, 0u);  // the first composition has no id
  EXPECT_EQ(qzsim::findClient(good)->osId, 21);
  EXPECT_EQ(creation.postCalls, 1);
}

TEST_F(ExecuteTest, OverallErrorWinsOverTheStatusAndFails) {
  ClientSetup reply = MakeSetup({MakeComposition("bad", 0, MakeError(3, {}))});
  qzmsg::Set(reply, ClientSetup::kSetupError,
             MakeError(4000000000LL, std::string("license %s expired")));
  Answer(reply, 5);

  EXPECT_FALSE(creation.Execute());
  EXPECT_EQ(RenderLog(),
            "debug |Failed to create the client for [bad]|\n"
            "debug |ProcessClientSetupRequest Failed with errorCode [3] |\n"
            "debug |ProcessClientSetupRequest Failed with errorCode "
            "[4000000000] |\n"
            "debug |Error string [license %s expired]|\n");
  EXPECT_EQ(creation.getErrorCode(), 4000000000u);
  EXPECT_EQ(creation.getErrorString(), "license %s expired");
  EXPECT_EQ(qzsim::render(creation.response), kEmptySetup);
  EXPECT_EQ(creation.postCalls, 0);
}

TEST_F(ExecuteTest, OverallErrorWithoutCodeIsNoError) {
  ClientSetup reply = MakeSetup({MakeComposition("web01", 0)});
  qzmsg::Set(reply, ClientSetup::kSetupError,
             MakeError(0, std::string("all fine")));
  Answer(reply);
  EXPECT_TRUE(creation.Execute());
  EXPECT_EQ(RenderLog(), "");
  EXPECT_EQ(creation.getErrorString(), "");
}

TEST_F(ExecuteTest, NonZeroStatusFailsWithTheClientErrorsKept) {
  Answer(MakeSetup({MakeComposition("bad", 0, MakeError(8, std::string("t"))),
                    MakeComposition("web01", 4)}),
         -1);
  EXPECT_FALSE(creation.Execute());
  EXPECT_EQ(RenderLog(),
            "debug |Failed to create the client for [bad]|\n"
            "debug |ProcessClientSetupRequest Failed with errorCode [8] |\n"
            "debug |Error string [t]|\n"
            "debug |ProcessClientSetupRequest Failed with Unknown "
            "Error.Please check QZInstallManager.log for more details.|\n");
  EXPECT_EQ(creation.getErrorCode(), 8u);
  EXPECT_EQ(qzsim::render(creation.response), kEmptySetup);
  EXPECT_EQ(creation.clientId, ~0ULL);
}

TEST_F(ExecuteTest, ResponseWithoutCompositionsKeepsTheOldResponse) {
  const std::string kNoCompositions =
      "Debug QZClientCreation::Execute |ProcessClientSetupRequest Response "
      "doesn't have client composition, clients might not have created |\n";
  ClientSetup unset;
  qzmsg::Set(unset, ClientSetup::kNumber1, 1);
  for (const ClientSetup& reply : {unset, MakeSetup({})}) {
    qzsim::clearLog();
    Answer(reply);
    EXPECT_FALSE(creation.Execute());
    EXPECT_EQ(RenderLog(), kNoCompositions);
    EXPECT_EQ(qzsim::render(creation.response), kEmptySetup);
  }
}

TEST_F(ExecuteTest, FirstCompositionWithoutClientEntityFailsAfterCopying) {
  // Every level of the walk missing in turn; the compositions that follow
  // lack everything too, and nothing may crash on them.
  QZInstallManager::ClientsComposition bare;
  App::ClientInfo noClient;
  QZInstallManager::ClientsComposition withInfo;
  qzmsg::Set(withInfo, QZInstallManager::ClientsComposition::kClientInfo,
             noClient);
  App::ClientInfo noEntity;
  qzmsg::Set(noEntity, App::ClientInfo::kClient, App::Client());
  qzmsg::Set(noEntity, App::ClientInfo::kClientProps, App::ClientProps());
  QZInstallManager::ClientsComposition withClient;
  qzmsg::Set(withClient, QZInstallManager::ClientsComposition::kClientInfo,
             noEntity);

  for (const CNMessageBase& first : {bare, withInfo, withClient}) {
    qzsim::clearLog();
    const ClientSetup reply = MakeSetup({first, bare, bare});
    Answer(reply);
    creation.clientId = 77;
    EXPECT_FALSE(creation.Execute());
    EXPECT_EQ(RenderLog(),
              "Debug QZClientCreation::Execute |ProcessClientSetupRequest "
              "Response doesn't have client composition, clients might not "
              "have created |\n");
    EXPECT_EQ(qzsim::render(creation.response), qzsim::render(reply));
    EXPECT_EQ(creation.clientId, 77u);
  }
  EXPECT_EQ(creation.postCalls, 0);
}

TEST_F(ExecuteTest, CompositionsWithoutSubRecordsAfterAGoodFirstOneAreSkipped) {
  const long long id = Seed("web01", 116);
  Answer(MakeSetup(
      {MakeComposition("web01", id), QZInstallManager::ClientsComposition()}));
  creation.osType = TMMsg::INSTALL_OS_UNIX;
  EXPECT_TRUE(creation.Execute());
  EXPECT_EQ(qzsim::findClient(id)->osId, 20);
  EXPECT_EQ(creation.clientId, static_cast<unsigned long long>(id));
}

TEST_F(ExecuteTest, AdjustsOnlyPreDeclaredClientsOfTheFamily) {
  const long long fresh = Seed("fresh", 116);
  const long long agent = Seed("agent", 7);
  Answer(MakeSetup({MakeComposition("fresh", fresh), MakeComposition("none", 0),
                    MakeComposition("agent", agent),
                    MakeComposition("gone", 999)}));
  creation.osType = TMMsg::INSTALL_OS_WINDOWS;

  EXPECT_TRUE(creation.Execute());
  const std::string f = std::to_string(fresh);
  const std::string a = std::to_string(agent);
  EXPECT_EQ(RenderCalls(), "QZClient(id=" + f + ")\n" +
                               "getOperatingSystemId(id=" + f +
                               ")\n"
                               "lookup\n"
                               "setevmgrcPort(0)\n"
                               "setQZDPort(0)\n"
                               "setInstallDirectory(N/A,4)\n"
                               "setOperatingSystemId(21)\n"
                               "modify\n"
                               "QZClient(id=" +
                               a + ")\n" + "getOperatingSystemId(id=" + a +
                               ")\n"
                               "QZClient(id=999)\n"
                               "getOperatingSystemId(id=999)\n");
  const qzsim::ClientRecord adjusted = *qzsim::findClient(fresh);
  EXPECT_EQ(adjusted.osId, 21);
  EXPECT_EQ(adjusted.evmgrcPort, 0u);
  EXPECT_EQ(adjusted.qzdPort, 0u);
  EXPECT_EQ(adjusted.installDirectory, "N/A");
  EXPECT_EQ(adjusted.installDirectoryKind, 4);
  const qzsim::ClientRecord untouched = *qzsim::findClient(agent);
  EXPECT_EQ(untouched.osId, 7);
  EXPECT_EQ(untouched.evmgrcPort, 8400u);
  EXPECT_EQ(untouched.installDirectory, "/opt/agent");
  EXPECT_EQ(creation.clientId, static_cast<unsigned long long>(fresh));
}

TEST_F(ExecuteTest, FamiliesWithoutATargetOpenNoClientRecord) {
  const long long id = Seed("web01", 116);
  Answer(MakeSetup({MakeComposition("web01", id)}));
  for (TMMsg::InstallOSType family :
       {TMMsg::INSTALL_OS_ANY, TMMsg::INSTALL_OS_NONE,
        static_cast<TMMsg::InstallOSType>(-3)}) {
    creation.osType = family;
    EXPECT_TRUE(creation.Execute());
  }
  EXPECT_EQ(RenderCalls(), "");
  EXPECT_EQ(qzsim::findClient(id)->osId, 116);
}

TEST_F(ExecuteTest, ClientIdsAreCutToTheirLow32BitsAsSignedValues) {
  // 0x1'8000'0005: the low 32 bits are negative as a signed value.
  Answer(MakeSetup({MakeComposition("wide", 0x180000005LL)}));
  creation.osType = TMMsg::INSTALL_OS_UNIX;
  EXPECT_TRUE(creation.Execute());
  EXPECT_EQ(creation.clientId, 0xFFFFFFFF80000005ULL);
  EXPECT_EQ(RenderCalls(),
            "QZClient(id=18446744071562067973)\n"
            "getOperatingSystemId(id=18446744071562067973)\n");
}

TEST_F(ExecuteTest, FailingPostOperationKeepsTheAdjustments) {
  const long long id = Seed("web01", 116);
  Answer(MakeSetup({MakeComposition("web01", id)}));
  creation.osType = TMMsg::INSTALL_OS_UNIX;
  creation.postResult = false;

  EXPECT_FALSE(creation.Execute());
  EXPECT_EQ(RenderLog(),
            "Debug QZClientCreation::Execute |Post Operation failed |\n");
  EXPECT_EQ(qzsim::findClient(id)->osId, 20);
  EXPECT_EQ(creation.clientId, static_cast<unsigned long long>(id));
  EXPECT_NE(qzsim::render(creation.response), kEmptySetup);
}

TEST_F(ExecuteTest, ServiceExceptionsReachTheCaller) {
  qzsim::setInstallHandler(
      [](const ClientSetup&, std::optional<ClientSetup>&) -> int {
        throw std::runtime_error("link down");
      });
  EXPECT_THROW(creation.Execute(), std::runtime_error);
}

TEST_F(ExecuteTest, UnpreparedObjectSubmitsTheEmptyRequest) {
  creation.Execute();
  ASSERT_EQ(qzsim::submittedRequests().size(), 1u);
  EXPECT_EQ(qzsim::render(qzsim::submittedRequests()[0]), kEmptySetup);
}

// Against the embedded server: a prepared request creates its clients, and
// the created records are adjusted for the family the object carries.
TEST_F(ExecuteTest, EmbeddedServerCreatesAndExecuteAdjusts) {
  QzEntities::ClientEntity server;
  qzmsg::Set(server, QzEntities::ClientEntity::kClientName,
             std::string("qzcs01"));
  QZInstallManager::RSClientInfo serverInfo;
  qzmsg::Set(serverInfo, QZInstallManager::RSClientInfo::kServerClient, server);
  ClientSetup prepared =
      MakeSetup({MakeComposition("web01", 0), MakeComposition("", 0),
                 MakeComposition("db01", 0)});
  qzmsg::Set(prepared, ClientSetup::kServerClientInfo, serverInfo);
  creation.Initialize(prepared);
  creation.osType = TMMsg::INSTALL_OS_WINDOWS;

  EXPECT_TRUE(creation.Execute());
  EXPECT_EQ(creation.getErrorCode(),
            static_cast<unsigned long long>(qzsim::kEmptyClientNameError));
  const std::vector<qzsim::ClientRecord> clients = qzsim::clients();
  ASSERT_EQ(clients.size(), 2u);
  EXPECT_EQ(clients[0].name, "web01");
  EXPECT_EQ(clients[0].osId, 21);
  EXPECT_EQ(clients[1].name, "db01");
  EXPECT_EQ(clients[1].installDirectory, "N/A");
  EXPECT_EQ(creation.clientId, static_cast<unsigned long long>(clients[0].id));

  // A second run refreshes the same clients instead of creating new ones.
  EXPECT_TRUE(creation.Execute());
  EXPECT_EQ(qzsim::clients().size(), 2u);
}

}  // namespace
