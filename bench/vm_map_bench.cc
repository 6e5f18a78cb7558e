// GetVMToClientMap as a host program calls it, against a scripted echo
// service (the request back with client ids filled in), so that the figures
// are the library's and the facility's, not the server's:
//
//   GetVMToClientMap/N   time per machine in a warm process that keeps the
//                        memory it frees, the median of three repetitions
//   FirstPass/N          one call in a fresh process, as a discovery run
//                        makes it: time per machine, and the peak resident
//                        set during the call, its growth per machine and
//                        in all (fresh pages count); the median of three
//                        processes
//
// Times are CPU time (of the thread; of the process for the first pass),
// so that other work on a shared machine does not count; the first pass
// also reports its wall-clock time per machine.
//
// Between calls the simulated installation is reset outside the timing: it
// keeps a copy of every request and every log line until then. The first
// pass says how much of its peak those log lines are (sim_log_per_machine),
// memory a real installation's logger, writing to a file, does not hold.
//
//   build/bench/bench/vm_map_bench --benchmark_counters_tabular=true
//   build/bench/bench/vm_map_bench --first-pass N   (one fresh pass, printed)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "bench_support.h"
#include "sim/qzsim.h"

namespace {

constexpr int kSizes[] = {10000, 100000, 1000000};

// Memory the simulated installation's log lines hold, roughly: it keeps
// each line's text packed in shared chunks, beside a 16-byte entry.
long long LogBytes() {
  constexpr long long kEntryBytes = 16;
  long long bytes = 0;
  for (const qzsim::LogLine& line : qzsim::logLines()) {
    bytes += kEntryBytes + static_cast<long long>(line.text.size());
  }
  return bytes;
}

void StartInstallation() {
  qzsim::reset();
  qzbench::UseEchoService();
}

void BM_GetVMToClientMap(benchmark::State& state) {
  const std::vector<VirtualMachine> machines =
      qzbench::Machines(static_cast<int>(state.range(0)));
  std::map<std::string, ClientData> clients;
  StartInstallation();
  GetVMToClientMap(machines, clients);  // warms the pool and the heap
  for (auto _ : state) {
    state.PauseTiming();
    clients = {};
    StartInstallation();
    state.ResumeTiming();
    const bool done = GetVMToClientMap(machines, clients);
    state.PauseTiming();
    if (!done || !qzbench::Complete(clients, machines.size())) {
      state.SkipWithError("not every machine got a client");
    }
    state.ResumeTiming();
  }
  state.counters["time_per_machine"] = benchmark::Counter(
      static_cast<double>(machines.size()) *
          static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The child's side of FirstPass: one call, measured.
int FirstPass(int n) {
  const std::vector<VirtualMachine> machines = qzbench::Machines(n);
  std::map<std::string, ClientData> clients;
  StartInstallation();
  const bool peakReset = qzbench::ResetPeakResident();
  const long long before = qzbench::ResidentBytes();
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = qzbench::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  const bool done = GetVMToClientMap(machines, clients);
  const double cpuStop = qzbench::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  const auto stop = std::chrono::steady_clock::now();
  const long long peak = qzbench::PeakResidentBytes();
  if (!done || !qzbench::Complete(clients, machines.size())) {
    std::fprintf(stderr, "not every machine got a client\n");
    return 1;
  }
  if (before < 0 || peak < 0) {
    std::fprintf(stderr, "cannot read the resident set\n");
    return 1;
  }
  // Without the reset the peak is the process's, which the machines' list
  // set just before the call: a little high, never low.
  if (!peakReset) std::fprintf(stderr, "peak resident set not reset\n");
  const double seconds = std::chrono::duration<double>(stop - start).count();
  qzbench::PrintMeasurement("time_per_machine", (cpuStop - cpuStart) / n);
  qzbench::PrintMeasurement("wall_per_machine", seconds / n);
  qzbench::PrintMeasurement("peak_rss_per_machine",
                            static_cast<double>(peak - before) / n);
  qzbench::PrintMeasurement("peak_rss", static_cast<double>(peak));
  qzbench::PrintMeasurement("sim_log_per_machine",
                            static_cast<double>(LogBytes()) / n);
  return 0;
}

void BM_FirstPass(benchmark::State& state) {
  std::map<std::string, double> measured;
  for (auto _ : state) {
    std::string error;
    measured = qzbench::RunFresh(
        {"--first-pass", std::to_string(state.range(0))}, error);
    if (!error.empty()) state.SkipWithError(error.c_str());
  }
  state.counters["time_per_machine"] = measured["time_per_machine"];
  state.counters["wall_per_machine"] = measured["wall_per_machine"];
  state.counters["peak_rss_per_machine"] = benchmark::Counter(
      measured["peak_rss_per_machine"], benchmark::Counter::kDefaults,
      benchmark::Counter::kIs1024);
  state.counters["peak_rss"] =
      benchmark::Counter(measured["peak_rss"], benchmark::Counter::kDefaults,
                         benchmark::Counter::kIs1024);
  state.counters["sim_log_per_machine"] = benchmark::Counter(
      measured["sim_log_per_machine"], benchmark::Counter::kDefaults,
      benchmark::Counter::kIs1024);
}

void Register() {
  for (int n : kSizes) {
    benchmark::RegisterBenchmark("GetVMToClientMap", BM_GetVMToClientMap)
        ->Arg(n)
        ->Iterations(std::max(1, 100000 / n))
        ->Repetitions(3)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
  }
  for (int n : kSizes) {
    benchmark::RegisterBenchmark("FirstPass", BM_FirstPass)
        ->Arg(n)
        ->Iterations(1)
        ->Repetitions(3)
        ->ReportAggregatesOnly(true)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--first-pass") == 0) {
    return FirstPass(std::atoi(argv[2]));
  }
  qzbench::KeepFreedMemory();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Register();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
