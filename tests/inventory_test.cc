#include "inventory/inventory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using ::testing::HasSubstr;

std::vector<VirtualMachine> ReadText(
    const std::string& text, const inventory::Options& options = {},
    std::vector<std::string>* warnings = nullptr) {
  std::istringstream in(text);
  return inventory::Read(in, "inv.json", options, warnings);
}

// Every defect names the inventory, the machine and the key at fault.
TEST(InventoryTest, RefusesMalformedMachinesNamingWhere) {
  const struct {
    const char* json;
    const char* error;
  } kCases[] = {
      {R"([])", "inv.json: must be an object"},
      {R"({"machine":[]})", "inv.json: unknown key \"machine\""},
      {R"({"machines":{}})", "inv.json: \"machines\" must be a list"},
      {R"({"machines":[{"nmae":"a","guid":"g"}]})",
       "inv.json: machine 1: unknown key \"nmae\""},
      {R"({"machines":[{"name":"a","guid":"g"},{"name":"b","guid":""}]})",
       "inv.json: machine 2: \"guid\" must not be empty"},
      {R"({"machines":[{"name":"a","guid":"g","osType":7}]})",
       "machine 1: \"osType\" must be 0 (Windows), 1 (Unix) or 4 (any)"},
      {R"({"machines":[{"name":"a","guid":"g","osType":-1}]})",
       "machine 1: \"osType\" must be 0"},
      {R"({"machines":[{"name":"a","guid":"g","operatingSystem":{"os":1}}]})",
       "machine 1: unknown key \"os\""},
      {R"({"machines":[{"name":"a","guid":"g"},{"name":"b","guid":"g"}]})",
       "inv.json: machines 1 (\"a\") and 2 (\"b\") share the GUID \"g\""},
      {R"({"machines":[{"name":"a","guid":"g","alternateId":"v"},
                       {"name":"b","guid":"h","alternateId":"v"}]})",
       "machines 1 (\"a\") and 2 (\"b\") share the alternate id \"v\""},
      {R"({"machines":[)", "inv.json: not valid JSON"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.json);
    try {
      ReadText(c.json);
      ADD_FAILURE() << "accepted";
    } catch (const inventory::Error& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.error));
    }
  }
}

TEST(InventoryTest, LaterMachineWinsOnlyWhenAskedAndSaysSo) {
  const std::string text =
      R"({"machines":[{"name":"a","guid":"g","osType":4},{"name":"x","guid":"h"},
                      {"name":"b","guid":"g","osType":1},
                      {"name":"c","guid":"g"}]})";
  std::vector<std::string> warnings;
  const std::vector<VirtualMachine> machines =
      ReadText(text, inventory::Options{true}, &warnings);
  ASSERT_EQ(machines.size(), 2u);
  EXPECT_EQ(machines[0].name + machines[1].name, "cx");
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_THAT(warnings[1], HasSubstr("machines 3 (\"b\") and 4 (\"c\") share "
                                     "the GUID \"g\"; the later one is taken"));
}

TEST(InventoryTest, ReadErrorsNameThePath) {
  const std::string folder = testing::TempDir();
  const struct {
    std::string path;
    const char* error;
  } kCases[] = {
      {folder, ": is a folder, not an inventory file"},
      {folder + "/no-such-inventory.json",
       "no-such-inventory.json: cannot be opened: No such file or directory"},
  };
  for (const auto& c : kCases) {
    try {
      inventory::Load(c.path);
      ADD_FAILURE() << c.path << " accepted";
    } catch (const inventory::Error& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.path));
      EXPECT_THAT(e.what(), HasSubstr(c.error));
    }
  }
  EXPECT_TRUE(ReadText(R"({"machines":[]})").empty());
}

}  // namespace
