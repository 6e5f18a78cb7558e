// The simulated installation's embedded central server: how many clients a
// second it pre-declares, end to end through GetVMToClientMap (the request
// crosses to the server as XML and back), with the catalogue in memory or in
// a file, and how large the request is on the wire.
//
//   build/bench/server_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "sim/qzsim.h"

namespace {

std::vector<VirtualMachine> Machines(int n) {
  std::vector<VirtualMachine> machines(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    char guid[40];
    std::snprintf(guid, sizeof guid, "4c4c4544-%04x-%04x-8000-%012x",
                  (i >> 16) & 0xFFFF, i & 0xFFFF, i);
    machines[static_cast<std::size_t>(i)].guid = guid;
    machines[static_cast<std::size_t>(i)].name = "vm " + std::to_string(i);
  }
  return machines;
}

// The request GetVMToClientMap submits for `machines`, as XML.
std::size_t WireBytes(const std::vector<VirtualMachine>& machines) {
  class Probe : public VirtualDiscoveredClientCreation {
   public:
    const QZInstallManager::ClientSetup& Request() const { return request; }
  } probe;
  std::map<std::string, ClientData> byGuid;
  for (const VirtualMachine& machine : machines) {
    byGuid[machine.guid].clientName = machine.name;
  }
  probe.Initialize(byGuid);
  return qzsim::toXml(probe.Request()).size();
}

void MapMachines(benchmark::State& state, bool inFile) {
  const std::vector<VirtualMachine> machines =
      Machines(static_cast<int>(state.range(0)));
  const std::string file =
      "/tmp/qzcc-server-bench-" + std::to_string(getpid()) + ".db";
  for (auto _ : state) {
    state.PauseTiming();
    qzsim::reset();
    unlink(file.c_str());
    if (inFile) qzsim::openCatalogue(file);
    std::map<std::string, ClientData> clients;
    state.ResumeTiming();
    if (!GetVMToClientMap(machines, clients) ||
        clients.size() != machines.size()) {
      state.SkipWithError("not every machine got a client");
    }
  }
  unlink(file.c_str());
  state.counters["clients_per_second"] = benchmark::Counter(
      static_cast<double>(machines.size() * state.iterations()),
      benchmark::Counter::kIsRate);
  state.counters["request_xml_bytes"] =
      static_cast<double>(WireBytes(machines));
}

void BM_InMemoryCatalogue(benchmark::State& state) {
  MapMachines(state, false);
}
void BM_FileCatalogue(benchmark::State& state) { MapMachines(state, true); }

BENCHMARK(BM_InMemoryCatalogue)
    ->Arg(1000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_FileCatalogue)
    ->Arg(1000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
