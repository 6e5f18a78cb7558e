#include "inventory/inventory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <iterator>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
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

  // Every key of `object` must be one of `known`.
  void OnlyKeys(const json& object,
                std::initializer_list<const char*> known) const {
    for (const auto& item : object.items()) {
      if (std::none_of(known.begin(), known.end(),
                       [&](const char* name) { return item.key() == name; })) {
        Fail("unknown key \"" + item.key() + "\"");
      }
    }
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
  in.OnlyKeys(os, {"osId", "osFamily", "osFlavor", "processor", "osVersion",
                   "displayName"});
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
  in.OnlyKeys(machine,
              {"name", "hostName", "propertyText", "guid", "alternateId",
               "propertyNumber", "osType", "operatingSystem"});
  VirtualMachine vm;
  vm.name = in.Text(machine, "name", true);
  vm.guid = in.Text(machine, "guid", true);
  if (vm.guid.empty()) in.Fail("\"guid\" must not be empty");
  vm.hostName = in.Text(machine, "hostName", false);
  vm.propertyText = in.Text(machine, "propertyText", false);
  vm.alternateId = in.Text(machine, "alternateId", false);
  vm.propertyNumber = static_cast<unsigned int>(in.Number(
      machine, "propertyNumber", 0, std::numeric_limits<unsigned int>::max()));
  vm.osType = static_cast<int>(in.Number(machine, "osType",
                                         std::numeric_limits<int>::min(),
                                         std::numeric_limits<int>::max()));
  if (vm.osType != TMMsg::INSTALL_OS_WINDOWS &&
      vm.osType != TMMsg::INSTALL_OS_UNIX &&
      vm.osType != TMMsg::INSTALL_OS_ANY) {
    in.Fail("\"osType\" must be 0 (Windows), 1 (Unix) or 4 (any)");
  }
  if (machine.contains("operatingSystem")) {
    vm.operatingSystem = ReadOperatingSystem(machine.at("operatingSystem"), in);
  }
  return vm;
}

// The machines kept so far, by GUID and by alternate id: the machine-list
// request keys its clients by the latter where there is one, so two
// machines sharing either would collapse into one client.
class Filing {
 public:
  // The slot of a kept machine sharing a key with `machine`; `shared` then
  // names the key.
  std::optional<std::size_t> Find(const VirtualMachine& machine,
                                  std::string& shared) const {
    for (const auto& [key, label] : Keys(machine)) {
      const auto found = slots_.find(key);
      if (found == slots_.end()) continue;
      shared = label;
      return found->second;
    }
    return std::nullopt;
  }
  void File(const VirtualMachine& machine, std::size_t slot,
            std::size_t index) {
    for (const auto& key : Keys(machine)) slots_[key.first] = slot;
    if (slot == indexes_.size()) indexes_.push_back(index);
    indexes_[slot] = index;
  }
  void Unfile(const VirtualMachine& machine) {
    for (const auto& key : Keys(machine)) slots_.erase(key.first);
  }
  // "3 ("name")": the kept machine's place in the file and its name.
  std::string Describe(std::size_t slot,
                       const std::vector<VirtualMachine>& kept) const {
    return std::to_string(indexes_[slot] + 1) + " (\"" + kept[slot].name +
           "\")";
  }

 private:
  static std::vector<std::pair<std::string, std::string>> Keys(
      const VirtualMachine& machine) {
    std::vector<std::pair<std::string, std::string>> keys{
        {"g" + machine.guid, "GUID \"" + machine.guid + "\""}};
    if (!machine.alternateId.empty()) {
      keys.emplace_back("a" + machine.alternateId,
                        "alternate id \"" + machine.alternateId + "\"");
    }
    return keys;
  }

  std::map<std::string, std::size_t> slots_;
  std::vector<std::size_t> indexes_;  // each slot's machine's place in file
};

}  // namespace

std::vector<VirtualMachine> Read(std::istream& in, const std::string& name,
                                 const Options& options,
                                 std::vector<std::string>* warnings) {
  std::string text;
  try {
    text.assign(std::istreambuf_iterator<char>(in),
                std::istreambuf_iterator<char>());
  } catch (const std::exception& e) {
    throw Error(name + ": cannot be read: " + e.what());
  }
  if (in.bad()) throw Error(name + ": cannot be read");
  json document;
  try {
    document = json::parse(text);
  } catch (const json::exception& e) {
    throw Error(name + ": not valid JSON: " + e.what());
  }
  const Reader top(name);
  if (!document.is_object()) top.Fail("must be an object");
  top.OnlyKeys(document, {"machines"});
  const json& machines = top.Field(document, "machines");
  if (!machines.is_array()) top.Fail("\"machines\" must be a list");

  std::vector<VirtualMachine> result;
  result.reserve(machines.size());
  Filing filing;
  for (std::size_t i = 0; i < machines.size(); ++i) {
    VirtualMachine machine = ReadMachine(
        machines[i], Reader(name + ": machine " + std::to_string(i + 1)));
    std::string shared;
    const std::optional<std::size_t> slot = filing.Find(machine, shared);
    if (!slot) {
      filing.File(machine, result.size(), i);
      result.push_back(std::move(machine));
      continue;
    }
    const std::string clash = "machines " + filing.Describe(*slot, result) +
                              " and " + std::to_string(i + 1) + " (\"" +
                              machine.name + "\") share the " + shared;
    if (!options.lastWins) throw Error(name + ": " + clash);
    filing.Unfile(result[*slot]);
    if (filing.Find(machine, shared)) {
      throw Error(name + ": " + clash + ", and machine " +
                  std::to_string(i + 1) + " the " + shared +
                  " of yet another machine");
    }
    if (warnings != nullptr) {
      warnings->push_back(name + ": " + clash + "; the later one is taken");
    }
    filing.File(machine, *slot, i);
    result[*slot] = std::move(machine);
  }
  return result;
}

std::vector<VirtualMachine> Load(const std::string& path,
                                 const Options& options,
                                 std::vector<std::string>* warnings) {
  if (path == "-") return Read(std::cin, "standard input", options, warnings);
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    throw Error(path + ": is a folder, not an inventory file");
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw Error(path + ": cannot be opened: " + std::strerror(errno));
  }
  return Read(file, path, options, warnings);
}

}  // namespace inventory
