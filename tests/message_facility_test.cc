// Records of the message facility: deep value semantics over shared storage,
// reads of absent fields and identity checks.
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "facility/storage.h"
#include "failing_allocation.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "messages/records.h"
#include "sim/qzsim.h"

namespace {

using App::Client;
using App::ClientInfo;
using QzEntities::ClientEntity;
using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;
using QZInstallManager::Components;
using QZInstallManager::PackageInformation;
using QZInstallManager::RSClientInfo;
using QZInstallManager::SIMError;
using qzmsg::Get;
using qzmsg::IsSet;
using qzmsg::Set;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

// Built from local records only, so that every node of the tree is shared
// by the records that were attached.
ClientsComposition Composition(const std::string& name) {
  ClientEntity entity;
  Set(entity, ClientEntity::kClientName, name);
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

TEST(MessageFacilityTest, CopiesAndAssignmentsAreIndependentAtEveryDepth) {
  ClientSetup original = Request("web01");
  const std::string before = qzsim::render(original);
  const std::string serverInfo =
      qzsim::render(Get(original, ClientSetup::kServerClientInfo));
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

  // Self-assignment, and a record's own child assigned back into it.
  ClientSetup& alias = assigned;
  assigned = alias;
  Set(assigned, ClientSetup::kServerClientInfo,
      Get(assigned, ClientSetup::kServerClientInfo));
  Set(assigned, ClientSetup::kClientCompositions,
      Get(assigned, ClientSetup::kClientCompositions));
  EXPECT_EQ(before, qzsim::render(assigned));
  // The child lives in storage that the assignment releases.
  CNMessageBase base = assigned;
  base = Get(base, ClientSetup::kServerClientInfo);
  EXPECT_EQ(serverInfo, qzsim::render(base));
  EXPECT_EQ(before, qzsim::render(assigned));
}

// The list is copied when attached, and so is each record pushed into the
// caller's vector. Also reads an int64 whose tag differs from its index: the
// reader takes the tag.
TEST(MessageFacilityTest, AttachedListsKeepEachEntryAsPushed) {
  PackageInformation package;
  std::vector<CNMessageBase> packages;
  for (long long id : {402, 1123, 77}) {
    Set(package, PackageInformation::kPackageId, id);
    Set(package, PackageInformation::kNumber14, -id);
    packages.push_back(package);  // grows the vector, copying earlier entries
  }
  Components components;
  Set(components, Components::kPackages, packages);
  Set(package, PackageInformation::kPackageId, 0);
  Set(packages[0], PackageInformation::kPackageId, 0);
  packages.push_back(package);

  std::vector<long long> stored;
  for (CNMessageBase& entry : Get(components, Components::kPackages)) {
    stored.push_back(Get(entry, PackageInformation::kPackageId));
    stored.push_back(Get(entry, PackageInformation::kNumber14));
  }
  EXPECT_THAT(stored, ElementsAre(402, -402, 1123, -1123, 77, -77));
}

// Get hands out the addresses the raw accessors return. Each is kept on a
// record of its own, so that neither accessor protects the other's copy.
TEST(MessageFacilityTest, WritesThroughKeptAddressesDoNotReachCopies) {
  ClientSetup first = Request("web01");
  CNMessageBase* serverInfo = &Get(first, ClientSetup::kServerClientInfo);
  const ClientSetup firstCopy = first;
  Set(Get(*serverInfo, RSClientInfo::kServerClient), ClientEntity::kClientName,
      "else\\where");

  ClientSetup second = Request("web01");
  std::vector<CNMessageBase>* compositions =
      &Get(second, ClientSetup::kClientCompositions);
  const ClientSetup secondCopy = second;
  Set(EntityIn(compositions->front()), ClientEntity::kClientName, "renamed");
  compositions->push_back(Composition("web02"));

  const std::string untouched = qzsim::render(Request("web01"));
  EXPECT_EQ(untouched, qzsim::render(firstCopy));
  EXPECT_EQ(untouched, qzsim::render(secondCopy));
  EXPECT_THAT(qzsim::render(first), HasSubstr("\"else\\\\where\""));
  EXPECT_THAT(qzsim::render(second),
              AllOf(HasSubstr("\"renamed\""), HasSubstr("\"web02\"")));
}

// Runs `copy(original)` with each of its allocations failing in turn until
// one run succeeds: every failed run throws std::bad_alloc and leaves the
// original whole, and (the sanitizers check) nothing leaked.
void FailEachAllocation(
    const ClientSetup& original,
    const std::function<ClientSetup(const ClientSetup&)>& copy) {
  const std::string whole = qzsim::render(original);
  bool copied = false;
  for (long fail = 0; !copied && fail < 10000; ++fail) {
    qztest::FailAllocationAfter(fail);
    try {
      const ClientSetup made = copy(original);
      qztest::FailAllocationAfter(-1);
      EXPECT_EQ(whole, qzsim::render(made));
      copied = true;
    } catch (const std::bad_alloc&) {
      qztest::FailAllocationAfter(-1);
    }
    ASSERT_EQ(whole, qzsim::render(original)) << "failing allocation " << fail;
  }
  EXPECT_TRUE(copied);
}

TEST(MessageFacilityTest, CopiesRunningOutOfMemoryLeaveNothingBehind) {
  ClientSetup original = Request(std::string(40, 'n'));  // a text kept apart
  Set(Get(original, ClientSetup::kServerClientInfo),
      RSClientInfo::kServerClient, ClientEntity());
  Get(original, ClientSetup::kClientCompositions).push_back(Composition("b"));
  Set(original, ClientSetup::kFocusName, std::string(20, 'f'));
  SIMError error;
  Set(error, SIMError::kErrorString, std::string(30, 'e'));
  Set(original, ClientSetup::kSetupError, error);  // owned after the list
  // Addresses are out: a copy is a real one.
  FailEachAllocation(original, [](const ClientSetup& from) { return from; });

  // A shared record asked for its list's address copies the list's
  // elements too; a copy failing part way leaves some of them shared.
  ClientSetup shared = Request("a");
  Set(shared, ClientSetup::kClientCompositions,
      {Composition("a"), Composition(std::string(40, 'b')), Composition("c")});
  FailEachAllocation(shared, [](const ClientSetup& from) {
    ClientSetup copy = from;
    for (CNMessageBase& composition :
         Get(copy, ClientSetup::kClientCompositions)) {
      CNMessageBase& entity = EntityIn(composition);  // written as it was
      Set(entity, ClientEntity::kClientName,
          Get(entity, ClientEntity::kClientName));
    }
    return copy;
  });
  // A node of the record's own, made by setters, moves to hand an address
  // out.
  FailEachAllocation(shared, [](const ClientSetup& from) {
    ClientSetup copy = from;
    Set(copy, ClientSetup::kSetupKind, Get(copy, ClientSetup::kSetupKind));
    Set(EntityOf(copy), ClientEntity::kClientName, "a");
    return copy;
  });
}

// Every write lands whole or throws std::bad_alloc leaving the record as it
// was: a fresh record's first field, fields after and before those set
// (a node grows by the field's slot), a text kept apart, a list, a nested
// record, and writes through a handle that shares its node.
TEST(MessageFacilityTest, WritesRunningOutOfMemoryChangeNothing) {
  const std::vector<std::function<void(ClientSetup&)>> writes = {
      [](ClientSetup& r) { Set(r, ClientSetup::kSetupKind, 20); },
      [](ClientSetup& r) { Set(r, ClientSetup::kNumber30, 30); },
      [](ClientSetup& r) { Set(r, ClientSetup::kNumber1, 1); },
      [](ClientSetup& r) {
        Set(r, ClientSetup::kFocusName, std::string(40, 'f'));
      },
      [](ClientSetup& r) {
        Set(r, ClientSetup::kClientCompositions, {Composition("a")});
      },
      [](ClientSetup& r) {
        QZInstallManager::InstallerFlags flags;
        Set(flags, QZInstallManager::InstallerFlags::kNumber70, 70);
        Set(r, ClientSetup::kInstallerFlags, flags);
      },
      [](ClientSetup& r) { Set(r, ClientSetup::kNumber2, 2); },
      [](ClientSetup& r) { Set(r, ClientSetup::kFocusName, "g"); },
  };
  constexpr std::size_t kShared = 4;  // writes from here on copy the node
  ClientSetup expected;
  std::string expectedHeld;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (i == kShared) expectedHeld = qzsim::render(expected);
    writes[i](expected);
  }

  bool done = false;
  for (long fail = 0; !done && fail < 10000; ++fail) {
    ClientSetup record;
    ClientSetup held;
    done = true;
    for (std::size_t i = 0; done && i < writes.size(); ++i) {
      if (i == kShared) held = record;
      const std::string before = qzsim::render(record);
      qztest::FailAllocationAfter(fail);
      try {
        writes[i](record);
      } catch (const std::bad_alloc&) {
        done = false;
      }
      qztest::FailAllocationAfter(-1);
      if (!done) {
        EXPECT_EQ(before, qzsim::render(record))
            << "write " << i << ", failing allocation " << fail;
      }
    }
    if (done) {
      EXPECT_EQ(qzsim::render(expected), qzsim::render(record));
      EXPECT_EQ(expectedHeld, qzsim::render(held));
    }
  }
  EXPECT_TRUE(done);
}

TEST(MessageFacilityTest, AbsentFieldsReadAsEmptyUntilWrittenInPlace) {
  ClientSetup setup;
  Set(setup, ClientSetup::kSetupKind, 20);
  auto setFields = [&setup] {
    return std::vector<bool>{IsSet(setup, ClientSetup::kServerClientInfo),
                             IsSet(setup, ClientSetup::kClientCompositions),
                             IsSet(setup, ClientSetup::kFocusName),
                             IsSet(Get(setup, ClientSetup::kServerClientInfo),
                                   RSClientInfo::kServerClient)};
  };

  // Empty records of the field's class (a wrong one would throw on reading).
  CNMessageBase& serverInfo = Get(setup, ClientSetup::kServerClientInfo);
  CNMessageBase& server = Get(serverInfo, RSClientInfo::kServerClient);
  EXPECT_EQ("", Get(server, ClientEntity::kClientName));
  EXPECT_EQ(0, Get(server, ClientEntity::kClientId));
  EXPECT_EQ("", Get(setup, ClientSetup::kFocusName));
  std::vector<CNMessageBase>& compositions =
      Get(setup, ClientSetup::kClientCompositions);
  EXPECT_TRUE(compositions.empty());
  EXPECT_THAT(setFields(), ElementsAre(false, false, false, false));

  // The addresses just read are where the values go.
  Set(server, ClientEntity::kClientName, "qzcs01");
  compositions.push_back(Composition("web01"));
  EXPECT_THAT(setFields(), ElementsAre(true, true, false, true));
  const ClientSetup copy = setup;
  EXPECT_EQ(qzsim::render(Request("web01")), qzsim::render(copy));
}

// Field constants with one part wrong, through the raw accessors, and nested
// records of the wrong class: right group but wrong type, and the reverse.
TEST(MessageFacilityTest, IdentityMismatchesThrowAndChangeNothing) {
  using Access = std::function<void(CNMessageBase&)>;
  auto setting = [](auto field, auto value) -> Access {
    return [=](CNMessageBase& r) { Set(r, field, value); };
  };
  auto reading = [](auto field) -> Access {
    return [=](CNMessageBase& r) { Get(r, field); };
  };
  using Int64 = qzmsg::Int64Field<ClientSetup>;
  using Text = qzmsg::TextField<ClientSetup>;
  const auto kKind = ClientSetup::kSetupKind;
  const auto kInfo = ClientSetup::kServerClientInfo;
  const auto kList = ClientSetup::kClientCompositions;
  // Each error names the record, the field and the wrong number.
  const std::pair<const char*, Access> mismatches[] = {
      {"ClientSetup.setupKind: wrong tag 77",
       setting(Int64{kKind.index, 77, kKind.hash}, 1)},
      {"ClientSetup.setupKind: wrong field hash 0xABCDEF",
       setting(Int64{kKind.index, kKind.tag, 0xABCDEF}, 1)},
      {"ClientSetup: no field with index 99",
       setting(Text{99, 99, 0x123456}, "x")},
      // kNumber30's index, 24, read as a tag is setupError's.
      {"setupError: wrong field hash 0x4F44C2",
       reading(Int64{24, 24, ClientSetup::kNumber30.hash})},
      {"ClientSetup.setupKind: a int64 field, accessed as text",
       setting(Text{kKind.index, kKind.tag, kKind.hash}, "1")},
      {"ClientSetup.focusName: a text field, accessed as int64",
       setting(Int64{9, 9, 0x0E64B8}, 1)},
      {"ClientSetup: no field with tag -1", reading(Int64{-1, -1, 0x123456})},
      {"serverClientInfo: a record field, accessed as int64",
       reading(Int64{kInfo.index, kInfo.tag, kInfo.hash})},
      {"clientCompositions: a list field, accessed as text",
       setting(Text{kList.index, kList.tag, kList.hash}, "x")},
      {"serverClientInfo: read as QZInstallManager::SIMError (8, 3), expected "
       "QZInstallManager::RSClientInfo (8, 64)",
       reading(qzmsg::RecordField<ClientSetup, SIMError>{kInfo.index, kInfo.tag,
                                                         kInfo.hash})},
      {"serverClientInfo: attached record (30, -64), expected "
       "QZInstallManager::RSClientInfo (8, 64)",
       setting(kInfo, CNMessageBase(30, -64))},
      {"clientCompositions: list element 1 is QZInstallManager::RSClientInfo "
       "(8, 64), expected QZInstallManager::ClientsComposition (8, 53)",
       setting(ClientSetup::kClientCompositions,
               std::vector<CNMessageBase>{Composition("a"), RSClientInfo()})},
      {"ClientSetup.setupKind: wrong class hash 0x1E77DFEB",
       setting(qzmsg::Int64Field<Client>{kKind.index, kKind.tag, kKind.hash},
               1)},
  };
  for (const auto& mismatch : mismatches) {
    SCOPED_TRACE(mismatch.first);
    ClientSetup setup = Request("web01");
    const std::string before = qzsim::render(setup);
    EXPECT_THAT([&] { mismatch.second(setup); },
                ThrowsMessage<std::logic_error>(HasSubstr(mismatch.first)));
    EXPECT_EQ(before, qzsim::render(setup));
  }

  // A class the facility does not know is refused before the field's
  // numbers are looked at.
  const Access unknownClassAccesses[] = {
      setting(ClientEntity::kClientName, "x"),
      reading(ClientEntity::kClientName),
      reading(ClientEntity::kClientId),
      reading(qzmsg::ListField<ClientEntity, ClientEntity>{1, 1, 0}),
      reading(qzmsg::RecordField<ClientEntity, ClientEntity>{1, 1, 0}),
      [](CNMessageBase& r) { IsSet(r, ClientEntity::kClientName); }};
  for (const Access& access : unknownClassAccesses) {
    CNMessageBase unknown(-5, 5);
    EXPECT_EQ("(-5, 5) {\n}\n", qzsim::render(unknown));
    EXPECT_THAT([&] { access(unknown); },
                ThrowsMessage<std::logic_error>(
                    HasSubstr("record (-5, 5): class unknown to the facility, "
                              "accessed with class hash 0x122FD3AE")));
  }
}

// Records a thread-local object still holds after the thread's node cache is
// gone are copied and freed through the memory shared by all threads.
TEST(MessageFacilityTest, RecordsOutlivingTheirThreadsCacheStayUsable) {
  static std::string got;
  struct Holder {
    std::optional<ClientSetup> setup;  // no node yet, so no cache either
    ~Holder() {
      ClientSetup copy = *setup;
      Set(EntityOf(copy), ClientEntity::kHostName, "late");
      got =
          qzsim::render(*setup) + Get(EntityOf(copy), ClientEntity::kHostName);
    }
  };
  std::thread([] {
    thread_local Holder holder;  // made before the cache, so outlives it
    holder.setup = Request("web01");
    Request("freed");  // leaves free nodes of each class for the depot
  }).join();
  EXPECT_EQ(qzsim::render(Request("web01")) + "late", got);
}

// Node memory is used again only once every node in it is free, whichever
// thread frees it: a record left alone among freed ones keeps its value
// while new records fill the memory around it.
TEST(MessageFacilityTest, MemoryFreedOnAnotherThreadIsReusedWithoutHarm) {
  constexpr int kKept = 40;
  constexpr int kBetween = 150;  // freed records, more than a block's worth
  std::vector<ClientEntity> kept(kKept);
  std::vector<ClientSetup> freed;
  std::thread([&] {
    for (int i = 0; i < kKept; ++i) {
      Set(kept[i], ClientEntity::kClientName, "k" + std::to_string(i));
      for (int j = 0; j < kBetween; ++j) freed.push_back(Request("freed"));
    }
  }).join();
  freed.clear();
  const auto name = [](int i) {
    return std::string(20, 'm') + std::to_string(i);
  };
  std::vector<ClientSetup> made;
  for (int i = 0; i < kKept * kBetween; ++i) made.push_back(Request(name(i)));
  int wrong = 0;
  for (int i = 0; i < kKept * kBetween; ++i) {
    wrong += Get(EntityOf(made[i]), ClientEntity::kClientName) != name(i);
  }
  for (int i = 0; i < kKept; ++i) {
    wrong += Get(kept[i], ClientEntity::kClientName) != "k" + std::to_string(i);
  }
  EXPECT_EQ(0, wrong);
}

// Once the tree is handed over, the two threads hold the only references to
// its nodes, which are then counted, and finally freed, from either thread.
TEST(MessageFacilityTest, ThreadsCopyingOneTreeKeepTheirOwnValues) {
  const std::string expected = qzsim::render(Request("web01"));
  int wrong[2] = {0, 0};
  auto work = [&expected, &wrong](ClientSetup tree, int me) {
    const std::string name(1, "ab"[me]);
    for (int i = 0; i < 2000; ++i) {
      ClientSetup mine = tree;
      ClientSetup other(mine);
      const std::string host = name + std::to_string(i);
      Set(EntityOf(mine), ClientEntity::kHostName, host);
      Set(mine, ClientSetup::kSetupKind, i);
      Get(mine, ClientSetup::kClientCompositions).push_back(Composition(name));
      other = mine;
      if (Get(EntityOf(other), ClientEntity::kHostName) != host ||
          Get(other, ClientSetup::kSetupKind) != i ||
          Get(EntityOf(other, 1), ClientEntity::kClientName) != name) {
        ++wrong[me];
      }
    }
    if (qzsim::render(tree) != expected) ++wrong[me];
  };
  std::vector<std::thread> threads;
  {
    const ClientSetup shared = Request("web01");
    for (int me : {0, 1}) threads.emplace_back(work, shared, me);
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_THAT(wrong, ElementsAre(0, 0));
}

// A compact node finds a slot by counting set bits, with the processor's
// instruction where it has one and without it elsewhere: both must count as
// bit-by-bit counting does, on patterns of every density.
TEST(MessageFacilityTest, SlotCountingAgreesWithCountingBitByBit) {
  using Node = CNMessageBase::Node;
  std::uint64_t bits = 0x9E3779B97F4A7C15u;
  int wrong = 0;
  for (int i = 0; i < 4096; ++i) {
    bits = bits * 6364136223846793005u + 1442695040888963407u;
    const std::uint64_t pattern = i % 3 == 0   ? bits
                                  : i % 3 == 1 ? bits & (bits >> 7)
                                               : bits | (bits << 5);
    std::size_t expected = 0;
    for (std::uint64_t rest = pattern; rest != 0; rest >>= 1) {
      expected += rest & 1;
    }
    wrong += Node::Count(pattern) != expected;
    wrong += Node::CountInSoftware(pattern) != expected;
  }
  EXPECT_EQ(0, wrong);
  EXPECT_EQ(64u, Node::CountInSoftware(~std::uint64_t{0}));
  EXPECT_EQ(0u, Node::CountInSoftware(0));
}

}  // namespace
