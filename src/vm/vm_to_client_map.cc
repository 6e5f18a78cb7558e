#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "host/ev_debug.h"
#include "vm/client_map.h"

namespace {

constexpr const char* kTag = "GetVMToClientMap";

// gClientMap is one for the process: concurrent calls would clear and fill
// it under each other.
std::mutex& VmCreationMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

bool GetVMToClientMap(const std::vector<VirtualMachine>& machines,
                      std::map<std::string, ClientData>& clientMap) {
  std::lock_guard<std::mutex> lock(VmCreationMutex());
  EvDebug log(nullptr);
  if (machines.empty()) {
    log.Debug(kTag, "Input VM vector is empty.Nothing to do.");
    return true;
  }

  VirtualDiscoveredClientCreation creation;
  std::map<std::string, ClientData> inputMap;
  for (const VirtualMachine& machine : machines) {
    qzcc::FreshEntry(inputMap, machine.guid)->second.clientName = machine.name;
  }
  if (!creation.Initialize(inputMap)) {
    log.Error(kTag, "Failed to prepare VM clients.");
    return false;
  }
  // The request holds what it needs; the memory goes to the client map.
  inputMap.clear();
  if (!creation.Execute()) {
    log.Error(kTag, "Failed to get client properties of VM.");
    return false;
  }
  clientMap = creation.getClients();
  return true;
}
