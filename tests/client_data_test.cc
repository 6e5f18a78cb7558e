#include <gtest/gtest.h>

#include <map>
#include <string>

#include "QZClientCreation.h"

namespace {

ClientData Filled() {
  ClientData data;
  data.clientName = "web01";
  data.clientId = -5;
  data.clientNumber = 1LL << 40;
  data.extraText1 = "one";
  data.extraNumber = -7;
  data.extraText2 = "two";
  data.propertyNumber = 0xFFFFFFFFu;
  data.resultNumber = 3;
  data.vmGuid = "4c4c4544-0042,alt";
  return data;
}

void ExpectSame(const ClientData& a, const ClientData& b) {
  EXPECT_EQ(a.clientName, b.clientName);
  EXPECT_EQ(a.clientId, b.clientId);
  EXPECT_EQ(a.clientNumber, b.clientNumber);
  EXPECT_EQ(a.extraText1, b.extraText1);
  EXPECT_EQ(a.extraNumber, b.extraNumber);
  EXPECT_EQ(a.extraText2, b.extraText2);
  EXPECT_EQ(a.propertyNumber, b.propertyNumber);
  EXPECT_EQ(a.resultNumber, b.resultNumber);
  EXPECT_EQ(a.vmGuid, b.vmGuid);
}

TEST(ClientDataTest, StartsEmptyAndCopiesEveryField) {
  const ClientData fresh;
  EXPECT_EQ(
      fresh.clientName + fresh.extraText1 + fresh.extraText2 + fresh.vmGuid,
      "");
  EXPECT_EQ(fresh.clientId | fresh.clientNumber | fresh.extraNumber |
                fresh.propertyNumber | fresh.resultNumber,
            0);

  const ClientData original = Filled();
  const ClientData copied(original);
  ClientData assigned;
  assigned = original;
  ExpectSame(copied, Filled());
  ExpectSame(assigned, Filled());
}

TEST(ClientMapTest, GetClientsCopiesTheProcessWideMap) {
  EXPECT_TRUE(requestMap.empty());
  EXPECT_TRUE(gIssueRequest);

  gClientMap.clear();
  gClientMap["guid-1"] = Filled();
  QZClientCreation one;
  QZClientCreation other;
  std::map<std::string, ClientData> copy = one.getClients();
  ASSERT_EQ(copy.size(), 1u);
  ExpectSame(copy["guid-1"], Filled());
  EXPECT_EQ(other.getClients().size(), 1u);

  copy.clear();
  EXPECT_EQ(gClientMap.size(), 1u);
  gClientMap.clear();
  EXPECT_TRUE(one.getClients().empty());
}

}  // namespace
