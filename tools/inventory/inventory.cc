#include "inventory/inventory.h"

#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace inventory {
namespace {

using nlohmann::json;

class Reader {
 public:
  explicit Reader(std::string where) : where_(std::move(where)) {}

  [[noreturn]] void Fail(const std::string& what) const {
    throw Error(where_ + ": " + what);
  }

  const json& Field(const json& object, const char* name) const {
    if (!object.contains(name)) Fail(std::string("missing \"") + name + "\"");
    return object.at(name);
  }

  std::string Text(const json& object, const char* name, bool required) const {
    if (!required && !object.contains(name)) return std::string();
    const json& value = Field(object, name);
    if (!value.is_string()) Fail(std::string("\"") + name + "\" must be text");
    return value.get<std::string>();
  }

  // A whole number within [low, high], where 0 <= high.
  long long Number(const json& object, const char* name, long long low,
                   long long high) const {
    if (!object.contains(name)) return 0;
    const json& value = object.at(name);
    if (value.is_number_unsigned()) {
      const auto number = value.get<unsigned long long>();
      if (number <= static_cast<unsigned long long>(high)) {
        return static_cast<long long>(number);
      }
    } else if (value.is_number_integer()) {
      const auto number = value.get<long long>();
      if (number >= low && number <= high) return number;
    } else {
      Fail(std::string("\"") + name + "\" must be a whole number");
    }
    Fail(std::string("\"") + name + "\" must be between " +
         std::to_string(low) + " and " + std::to_string(high));
  }

 private:
  std::string where_;
};

App::OperatingSystem ReadOperatingSystem(const json& os, const Reader& in) {
  using qzmsg::Set;
  App::OperatingSystem record;
  if (!os.is_object()) in.Fail("\"operatingSystem\" must be an object");
  if (os.contains("osId")) {
    Set(record, App::OperatingSystem::kOsId,
        in.Number(os, "osId", std::numeric_limits<int>::min(),
                  std::numeric_limits<int>::max()));
  }
  const struct {
    const char* name;
    qzmsg::TextField<App::OperatingSystem> field;
  } kTexts[] = {{"osFamily", App::OperatingSystem::kOsFamily},
                {"osFlavor", App::OperatingSystem::kOsFlavor},
                {"processor", App::OperatingSystem::kProcessor},
                {"osVersion", App::OperatingSystem::kOsVersion}};
  for (const auto& text : kTexts) {
    if (os.contains(text.name)) {
      Set(record, text.field, in.Text(os, text.name, true));
    }
  }
  if (os.contains("displayName")) {
    App::OSDisplayInfo display;
    Set(display, App::OSDisplayInfo::kDisplayName,
        in.Text(os, "displayName", true));
    Set(record, App::OperatingSystem::kDisplayInfo, display);
  }
  return record;
}

VirtualMachine ReadMachine(const json& machine, const Reader& in) {
  if (!machine.is_object()) in.Fail("must be an object");
  VirtualMachine vm;
  vm.name = in.Text(machine, "name", true);
  vm.guid = in.Text(machine, "guid", true);
  vm.hostName = in.Text(machine, "hostName", false);
  vm.propertyText = in.Text(machine, "propertyText", false);
  vm.alternateId = in.Text(machine, "alternateId", false);
  vm.propertyNumber = static_cast<unsigned int>(in.Number(
      machine, "propertyNumber", 0, std::numeric_limits<unsigned int>::max()));
  vm.osType = static_cast<int>(in.Number(machine, "osType",
                                         std::numeric_limits<int>::min(),
                                         std::numeric_limits<int>::max()));
  if (machine.contains("operatingSystem")) {
    vm.operatingSystem = ReadOperatingSystem(machine.at("operatingSystem"), in);
  }
  return vm;
}

}  // namespace

std::vector<VirtualMachine> Load(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw Error(path + ": cannot be opened");
  json document;
  try {
    document = json::parse(file);
  } catch (const json::exception& e) {
    throw Error(path + ": not valid JSON: " + e.what());
  }
  const Reader top(path);
  const json& machines = top.Field(document, "machines");
  if (!machines.is_array()) top.Fail("\"machines\" must be a list");

  std::vector<VirtualMachine> result;
  result.reserve(machines.size());
  for (std::size_t i = 0; i < machines.size(); ++i) {
    result.push_back(ReadMachine(
        machines[i], Reader(path + ": machine " + std::to_string(i + 1))));
  }
  return result;
}

}  // namespace inventory
