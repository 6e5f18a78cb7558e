#include <gtest/gtest.h>

#include <string>

#include "QZClientCreation.h"
#include "creation_probe.h"

namespace qztest {
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

TEST(ClientDataTest, StartsEmptyAndCopiesEveryField) {
  const std::string kFilled =
      "web01|-5|1099511627776|one|-7|two|4294967295|3|4c4c4544-0042,alt\n";
  const ClientData original = Filled();
  ClientData assigned;
  assigned = original;
  EXPECT_EQ(RenderClientMap({{"assigned", assigned},
                             {"copied", ClientData(original)},
                             {"fresh", ClientData()}}),
            "assigned -> " + kFilled + "copied -> " + kFilled +
                "fresh -> |0|0||0||0|0|\n");
}

TEST(ClientMapTest, GetClientsCopiesTheProcessWideMap) {
  EXPECT_TRUE(requestMap.empty());
  EXPECT_TRUE(gIssueRequest);

  gClientMap = {{"guid-1", Filled()}};
  EXPECT_EQ(RenderClientMap(QZClientCreation().getClients()),
            RenderClientMap(gClientMap));
  gClientMap.clear();
  EXPECT_TRUE(QZClientCreation().getClients().empty());
}

}  // namespace
}  // namespace qztest
