// The simulated installation's embedded central server: how many clients a
// second it pre-declares, end to end through GetVMToClientMap (the request
// crosses to the server as XML and back), with the catalogue in memory or in
// a file, and how large the request is on the wire. Each call starts from an
// empty catalogue, so every client is new; the file catalogue lives in a
// folder of its own under $TMPDIR (or /tmp), removed afterwards.
//
//   build/bench/bench/server_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "QZClientCreation.h"
#include "bench_support.h"
#include "sim/qzsim.h"

namespace {

namespace fs = std::filesystem;

// A fresh folder for the catalogue file; empty when none can be made.
fs::path TemporaryFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      (fs::path(base != nullptr && *base != '\0' ? base : "/tmp") /
       "qzcc-server-bench-XXXXXX")
          .string();
  if (mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
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
      qzbench::Machines(static_cast<int>(state.range(0)));
  fs::path folder;
  if (inFile) {
    folder = TemporaryFolder();
    if (folder.empty()) {
      state.SkipWithError("cannot make a temporary folder");
      return;
    }
  }
  const std::string file = (folder / "catalogue.db").string();
  for (auto _ : state) {
    state.PauseTiming();
    qzsim::reset();  // closes the catalogue file before it goes
    std::error_code ignored;
    if (inFile) {
      fs::remove(file, ignored);
      qzsim::openCatalogue(file);
    }
    std::map<std::string, ClientData> clients;
    state.ResumeTiming();
    const bool done = GetVMToClientMap(machines, clients);
    state.PauseTiming();
    if (!done || !qzbench::Complete(clients, machines.size())) {
      state.SkipWithError("not every machine got a client");
    }
    clients = {};
    state.ResumeTiming();
  }
  qzsim::reset();
  if (inFile) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
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

// Wall-clock time, since waiting for the catalogue file is part of the
// cost; the median of three repetitions, as the machine may be shared.
BENCHMARK(BM_InMemoryCatalogue)
    ->Arg(1000)
    ->Arg(100000)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_FileCatalogue)
    ->Arg(1000)
    ->Arg(100000)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The child's side of Crossing: one call, measured.
int Crossing(int n) {
  const fs::path folder = TemporaryFolder();
  if (folder.empty()) {
    std::fprintf(stderr, "cannot make a temporary folder\n");
    return 1;
  }
  const std::vector<VirtualMachine> machines = qzbench::Machines(n);
  qzsim::openCatalogue((folder / "catalogue.db").string());
  std::map<std::string, ClientData> clients;
  const auto start = std::chrono::steady_clock::now();
  const bool done = GetVMToClientMap(machines, clients);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  const long long peak = qzbench::PeakResidentBytes();
  const bool complete = done && qzbench::Complete(clients, machines.size());
  qzsim::reset();
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  if (!complete) {
    std::fprintf(stderr, "not every machine got a client\n");
    return 1;
  }
  qzbench::PrintMeasurement("peak_rss", static_cast<double>(peak));
  qzbench::PrintMeasurement("wall_seconds", seconds);
  qzbench::PrintMeasurement("clients_per_second", n / seconds);
  return 0;
}

void BM_Crossing(benchmark::State& state) {
  std::map<std::string, double> measured;
  for (auto _ : state) {
    std::string error;
    measured = qzbench::RunFresh({"--crossing", std::to_string(state.range(0))},
                                 error);
    if (!error.empty()) state.SkipWithError(error.c_str());
  }
  state.counters["peak_rss"] =
      benchmark::Counter(measured["peak_rss"], benchmark::Counter::kDefaults,
                         benchmark::Counter::kIs1024);
  state.counters["wall_seconds"] = measured["wall_seconds"];
  state.counters["clients_per_second"] = measured["clients_per_second"];
}

BENCHMARK(BM_Crossing)
    ->Name("Crossing")
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--crossing") == 0) {
    return Crossing(std::atoi(argv[2]));
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
