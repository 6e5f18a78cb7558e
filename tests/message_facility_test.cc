// Records of the message facility: deep value semantics over shared storage,
// reads of absent fields, identity checks and texts of any bytes.
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "messages/records.h"
#include "sim/qzsim.h"

namespace {

using App::Client;
using App::ClientInfo;
using QzEntities::ClientEntity;
using QzEntities::ClientGroupEntity;
using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;
using QZInstallManager::Components;
using QZInstallManager::PackageInformation;
using QZInstallManager::RSClientInfo;
using qzmsg::Get;
using qzmsg::IsSet;
using qzmsg::Set;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Built from local records only, so that every node of the tree is shared
// by the records that were attached.
ClientsComposition Composition(const std::string& name) {
  ClientEntity entity;
  Set(entity, ClientEntity::kClientName, name);
  Set(entity, ClientEntity::kHostName, name + ".example.com");
  Client client;
  Set(client, Client::kClientEntity, entity);
  ClientInfo info;
  Set(info, ClientInfo::kClient, client);
  ClientsComposition composition;
  Set(composition, ClientsComposition::kClientInfo, info);
  return composition;
}

ClientSetup Request(const std::string& clientName) {
  ClientEntity server;
  Set(server, ClientEntity::kClientName, "qzcs01");
  RSClientInfo serverInfo;
  Set(serverInfo, RSClientInfo::kServerClient, server);
  ClientSetup setup;
  Set(setup, ClientSetup::kSetupKind, 20);
  Set(setup, ClientSetup::kServerClientInfo, serverInfo);
  Set(setup, ClientSetup::kClientCompositions, {Composition(clientName)});
  return setup;
}

// The ClientEntity of a composition, three levels below it.
CNMessageBase& EntityIn(CNMessageBase& composition) {
  return Get(Get(Get(composition, ClientsComposition::kClientInfo),
                 ClientInfo::kClient),
             Client::kClientEntity);
}

CNMessageBase& EntityOf(CNMessageBase& setup, std::size_t position = 0) {
  return EntityIn(Get(setup, ClientSetup::kClientCompositions).at(position));
}

class MessageFacilityTest : public ::testing::Test {
 protected:
  void SetUp() override { qzsim::reset(); }
};

TEST_F(MessageFacilityTest, AttachedRecordsAndListsOutliveTheCallersCopies) {
  ClientInfo info;
  {
    ClientEntity entity;
    Set(entity, ClientEntity::kClientName, "web01");
    Client client;
    Set(client, Client::kClientEntity, entity);
    Set(info, ClientInfo::kClient, client);
    std::vector<CNMessageBase> groups(1, ClientGroupEntity());
    Set(groups[0], ClientGroupEntity::kClientGroupName, "g1");
    Set(info, ClientInfo::kClientGroups, groups);

    Set(entity, ClientEntity::kClientName, "changed");
    Set(client, Client::kClientEntity, entity);
    Set(groups[0], ClientGroupEntity::kClientGroupName, "changed");
    groups.push_back(ClientGroupEntity());
  }
  EXPECT_EQ(
      "ClientInfo {\n"
      "  client: Client {\n"
      "    clientEntity: ClientEntity {\n"
      "      clientName: \"web01\"\n"
      "    }\n"
      "  }\n"
      "  clientGroups: [\n"
      "    ClientGroupEntity {\n"
      "      clientGroupName: \"g1\"\n"
      "    }\n"
      "  ]\n"
      "}\n",
      qzsim::render(info));
}

TEST_F(MessageFacilityTest, CopiesAndAssignmentsAreIndependentAtEveryDepth) {
  ClientSetup original = Request("web01");
  const std::string before = qzsim::render(original);
  ClientSetup copy(original);
  ClientSetup assigned;
  assigned = original;

  Set(EntityOf(copy), ClientEntity::kHostName, "copy.example.com");
  Set(copy, ClientSetup::kSetupKind, 34);
  EXPECT_EQ(before, qzsim::render(original));
  EXPECT_EQ(before, qzsim::render(assigned));

  Set(EntityOf(original), ClientEntity::kHostName, "original.example.com");
  Get(original, ClientSetup::kClientCompositions).push_back(Composition("x"));
  EXPECT_EQ(before, qzsim::render(assigned));
  EXPECT_EQ("copy.example.com", Get(EntityOf(copy), ClientEntity::kHostName));
  EXPECT_EQ(34, Get(copy, ClientSetup::kSetupKind));
  EXPECT_EQ(1u, Get(copy, ClientSetup::kClientCompositions).size());
}

TEST_F(MessageFacilityTest, ReusedPackageRecordLeavesEachEntryAsPushed) {
  PackageInformation package;
  std::vector<CNMessageBase> packages;
  for (long long id : {402, 1123, 77}) {
    Set(package, PackageInformation::kPackageId, id);
    Set(package, PackageInformation::kNumber14, id + 1);
    packages.push_back(package);  // grows the vector, copying earlier entries
  }
  Components components;
  Set(components, Components::kPackages, packages);
  Set(package, PackageInformation::kPackageId, 0);

  std::vector<long long> ids;
  std::vector<long long> numbers;
  for (CNMessageBase& entry : Get(components, Components::kPackages)) {
    ids.push_back(Get(entry, PackageInformation::kPackageId));
    numbers.push_back(Get(entry, PackageInformation::kNumber14));
  }
  EXPECT_THAT(ids, ElementsAre(402, 1123, 77));
  EXPECT_THAT(numbers, ElementsAre(403, 1124, 78));
}

TEST_F(MessageFacilityTest, SelfAssignmentAndOwnChildAreSafe) {
  ClientSetup setup = Request("web01");
  const std::string before = qzsim::render(setup);
  const std::string serverInfo =
      qzsim::render(Get(setup, ClientSetup::kServerClientInfo));

  ClientSetup& alias = setup;
  setup = alias;
  Set(setup, ClientSetup::kServerClientInfo,
      Get(setup, ClientSetup::kServerClientInfo));
  Set(setup, ClientSetup::kClientCompositions,
      Get(setup, ClientSetup::kClientCompositions));
  EXPECT_EQ(before, qzsim::render(setup));

  // The child lives in storage that the assignment releases.
  CNMessageBase base = setup;
  base = Get(base, ClientSetup::kServerClientInfo);
  EXPECT_EQ(RSClientInfo::kType, base.type());
  EXPECT_EQ(serverInfo, qzsim::render(base));
  EXPECT_EQ(before, qzsim::render(setup));
}

// Each address is kept on a record of its own, so that neither accessor
// protects the other's copy.
TEST_F(MessageFacilityTest, WritesThroughKeptAddressesDoNotReachCopies) {
  ClientSetup first = Request("web01");
  CNMessageBase* serverInfo = *first.getObjectAccessor(
      true, false, ClientSetup::kServerClientInfo.index,
      ClientSetup::kServerClientInfo.tag, ClientSetup::kClassHash,
      ClientSetup::kServerClientInfo.hash, RSClientInfo::kGroup,
      RSClientInfo::kType);
  const ClientSetup firstCopy = first;
  Set(Get(*serverInfo, RSClientInfo::kServerClient), ClientEntity::kClientName,
      "elsewhere");

  ClientSetup second = Request("web01");
  std::vector<CNMessageBase>* compositions = *second.getlistobject(
      ClientSetup::kClientCompositions.index,
      ClientSetup::kClientCompositions.tag, ClientSetup::kClassHash,
      ClientSetup::kClientCompositions.hash, false);
  const ClientSetup secondCopy = second;
  Set(EntityIn(compositions->front()), ClientEntity::kClientName, "renamed");
  compositions->push_back(Composition("web02"));

  const std::string untouched = qzsim::render(Request("web01"));
  EXPECT_EQ(untouched, qzsim::render(firstCopy));
  EXPECT_EQ(untouched, qzsim::render(secondCopy));
  EXPECT_THAT(qzsim::render(first), HasSubstr("\"elsewhere\""));
  EXPECT_THAT(qzsim::render(second),
              AllOf(HasSubstr("\"renamed\""), HasSubstr("\"web02\"")));
}

TEST_F(MessageFacilityTest, AbsentFieldsReadAsEmptyUntilWrittenInPlace) {
  ClientSetup setup;
  Set(setup, ClientSetup::kSetupKind, 20);
  auto setFields = [&setup] {
    return std::vector<bool>{IsSet(setup, ClientSetup::kServerClientInfo),
                             IsSet(setup, ClientSetup::kClientCompositions),
                             IsSet(setup, ClientSetup::kFocusName),
                             IsSet(Get(setup, ClientSetup::kServerClientInfo),
                                   RSClientInfo::kServerClient)};
  };
  ASSERT_THAT(setFields(), ElementsAre(false, false, false, false));

  CNMessageBase& serverInfo = Get(setup, ClientSetup::kServerClientInfo);
  EXPECT_EQ(RSClientInfo::kGroup, serverInfo.group());
  EXPECT_EQ(RSClientInfo::kType, serverInfo.type());
  CNMessageBase& server = Get(serverInfo, RSClientInfo::kServerClient);
  EXPECT_EQ(ClientEntity::kGroup, server.group());
  EXPECT_EQ(ClientEntity::kType, server.type());
  EXPECT_EQ("", Get(server, ClientEntity::kClientName));
  EXPECT_EQ(0, Get(server, ClientEntity::kClientId));
  EXPECT_EQ("", Get(setup, ClientSetup::kFocusName));
  std::vector<CNMessageBase>** compositions = setup.getlistobject(
      ClientSetup::kClientCompositions.index,
      ClientSetup::kClientCompositions.tag, ClientSetup::kClassHash,
      ClientSetup::kClientCompositions.hash, false);
  ASSERT_NE(nullptr, compositions);
  ASSERT_NE(nullptr, *compositions);
  EXPECT_TRUE((*compositions)->empty());
  EXPECT_THAT(setFields(), ElementsAre(false, false, false, false));

  // The addresses just read are where the values go.
  Set(server, ClientEntity::kClientName, "qzcs01");
  (*compositions)->push_back(Composition("web01"));
  EXPECT_THAT(setFields(), ElementsAre(true, true, false, true));
  const ClientSetup copy = setup;
  EXPECT_EQ(qzsim::render(Request("web01")), qzsim::render(copy));
}

TEST_F(MessageFacilityTest, Int64ReaderTakesTheTagNotTheIndex) {
  Client client;
  Set(client, Client::kNumber16, -1234567890123LL);
  Set(client, Client::kNumber17, 17);
  EXPECT_EQ(-1234567890123LL,
            client.getint64(16, Client::kClassHash, Client::kNumber16.hash));
  EXPECT_THROW(client.getint64(Client::kNumber16.index, Client::kClassHash,
                               Client::kNumber16.hash),
               std::logic_error);
}

struct Mismatch {
  const char* what;
  std::function<void(ClientSetup&)> access;
  std::vector<std::string> named;  // record, field and the wrong number
};

TEST_F(MessageFacilityTest, IdentityMismatchesThrowAndChangeNothing) {
  const auto kSetupKind = ClientSetup::kSetupKind;
  const auto kServerInfo = ClientSetup::kServerClientInfo;
  const auto kList = ClientSetup::kClientCompositions;
  const unsigned long kHash = ClientSetup::kClassHash;
  const std::vector<Mismatch> mismatches = {
      {"index with a wrong tag",
       [&](ClientSetup& r) {
         r.setint64(kSetupKind.index, 77, 1, kHash, kSetupKind.hash);
       },
       {"ClientSetup", "setupKind", "77"}},
      {"wrong field hash",
       [&](ClientSetup& r) {
         r.setint64(kSetupKind.index, kSetupKind.tag, 1, kHash, 0xABCDEF);
       },
       {"ClientSetup", "setupKind", "0xABCDEF"}},
      {"unknown index",
       [&](ClientSetup& r) { r.setstring(99, 99, "x", kHash, 0x123456); },
       {"ClientSetup", "99"}},
      {"text written to an int64 field",
       [&](ClientSetup& r) {
         r.setstring(kSetupKind.index, kSetupKind.tag, "1", kHash,
                     kSetupKind.hash);
       },
       {"ClientSetup", "setupKind", "text"}},
      {"int64 written to a text field",
       [&](ClientSetup& r) {
         const auto focus = ClientSetup::kFocusName;
         r.setint64(focus.index, focus.tag, 1, kHash, focus.hash);
       },
       {"ClientSetup", "focusName", "int64"}},
      {"nested record read as the wrong class",
       [&](ClientSetup& r) {
         r.getObjectAccessor(true, false, kServerInfo.index, kServerInfo.tag,
                             kHash, kServerInfo.hash, ClientEntity::kGroup,
                             ClientEntity::kType);
       },
       {"ClientSetup", "serverClientInfo", "(18, 4)"}},
      {"record of the wrong class attached",
       [&](ClientSetup& r) {
         const ClientEntity entity;
         r.setObjectAccessor(&entity, kServerInfo.index, kServerInfo.tag, kHash,
                             kServerInfo.hash);
       },
       {"ClientSetup", "serverClientInfo", "(18, 4)"}},
      {"list holding an element of the wrong class",
       [&](ClientSetup& r) {
         const std::vector<CNMessageBase> list{Composition("a"),
                                               ClientEntity()};
         r.setlistobject(kList.index, kList.tag, &list, kHash, kList.hash);
       },
       {"ClientSetup", "clientCompositions", "element 1", "(18, 4)"}},
      {"wrong class hash",
       [&](ClientSetup& r) {
         r.setint64(kSetupKind.index, kSetupKind.tag, 1, Client::kClassHash,
                    kSetupKind.hash);
       },
       {"ClientSetup", "setupKind", "0x1E77DFEB"}},
  };
  for (const Mismatch& mismatch : mismatches) {
    SCOPED_TRACE(mismatch.what);
    ClientSetup setup = Request("web01");
    const std::string before = qzsim::render(setup);
    try {
      mismatch.access(setup);
      ADD_FAILURE() << "no exception";
    } catch (const std::logic_error& error) {
      for (const std::string& part : mismatch.named) {
        EXPECT_THAT(error.what(), HasSubstr(part));
      }
    }
    EXPECT_EQ(before, qzsim::render(setup));
  }
}

TEST_F(MessageFacilityTest, RecordsOfUnknownClassesRefuseEveryAccess) {
  CNMessageBase unknown(5, 5);
  EXPECT_EQ(5, unknown.group());
  const auto kName = ClientEntity::kClientName;
  const unsigned long kHash = ClientEntity::kClassHash;
  const std::vector<std::function<void()>> accesses = {
      [&] {
        unknown.setstring(kName.index, kName.tag, "x", kHash, kName.hash);
      },
      [&] { unknown.getstring(kName.index, kName.tag, kHash, kName.hash); },
      [&] { unknown.getint64(0, kHash, ClientEntity::kClientId.hash); },
      [&] { unknown.isSet(kName.index, kHash, kName.hash); },
      [&] {
        unknown.getlistobject(kName.index, kName.tag, kHash, kName.hash, false);
      },
      [&] {
        unknown.getObjectAccessor(true, false, kName.index, kName.tag, kHash,
                                  kName.hash, ClientEntity::kGroup,
                                  ClientEntity::kType);
      },
  };
  for (const auto& access : accesses) {
    EXPECT_THAT(access, testing::ThrowsMessage<std::logic_error>(AllOf(
                            HasSubstr("(5, 5)"), HasSubstr("0x122FD3AE"))));
  }
}

TEST_F(MessageFacilityTest, TextsKeepEveryByte) {
  std::string everyByte(1 << 20, '\0');
  for (std::size_t i = 0; i < everyByte.size(); ++i) {
    everyByte[i] = static_cast<char>(i * 7 % 256);
  }
  const std::vector<std::string> texts = {
      std::string("a\0b\0", 4), "\x80\xFF\xC3\xA9", everyByte, "%s%n%d"};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.substr(0, 8));
    ClientSetup setup = Request("web01");
    Set(EntityOf(setup), ClientEntity::kHostName, text);
    Set(setup, ClientSetup::kFocusName, text);
    ClientSetup copy = setup;
    Set(setup, ClientSetup::kFocusName, "");
    EXPECT_EQ(text, Get(copy, ClientSetup::kFocusName));
    EXPECT_EQ(text, Get(EntityOf(copy), ClientEntity::kHostName));
    EXPECT_EQ(text, Get(EntityOf(setup), ClientEntity::kHostName));
  }
}

TEST_F(MessageFacilityTest, InitializeReportsTheConfiguredStartResult) {
  EXPECT_EQ(0, CNMessageBase::Initialize());
  qzsim::setMessageFacilityStartResult(-7);
  EXPECT_EQ(-7, CNMessageBase::Initialize());
  qzsim::reset();
  EXPECT_EQ(0, CNMessageBase::Initialize());
}

// Once the tree is handed over, the two threads hold the only references to
// its nodes, which are then counted, and finally freed, from either thread.
TEST_F(MessageFacilityTest, ThreadsCopyingOneTreeKeepTheirOwnValues) {
  const std::string expected = qzsim::render(Request("web01"));
  auto work = [&expected](ClientSetup tree, std::string me, int& wrong) {
    for (int i = 0; i < 2000; ++i) {
      ClientSetup mine = tree;
      ClientSetup other(mine);
      const std::string host = me + std::to_string(i);
      Set(EntityOf(mine), ClientEntity::kHostName, host);
      Set(mine, ClientSetup::kSetupKind, i);
      Get(mine, ClientSetup::kClientCompositions).push_back(Composition(me));
      other = mine;
      if (Get(EntityOf(other), ClientEntity::kHostName) != host ||
          Get(other, ClientSetup::kSetupKind) != i ||
          Get(EntityOf(other, 1), ClientEntity::kClientName) != me) {
        ++wrong;
      }
    }
    if (qzsim::render(tree) != expected) ++wrong;
  };
  int wrongA = 0;
  int wrongB = 0;
  std::thread a;
  std::thread b;
  {
    const ClientSetup shared = Request("web01");
    a = std::thread(work, shared, "a", std::ref(wrongA));
    b = std::thread(work, shared, "b", std::ref(wrongB));
  }
  a.join();
  b.join();
  EXPECT_EQ(0, wrongA);
  EXPECT_EQ(0, wrongB);
}

}  // namespace
