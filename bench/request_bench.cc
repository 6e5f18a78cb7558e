// What each step of a discovery run's request costs per composition, beside
// protobuf building and handling a tree of the same shape (request_shape.proto,
// heap allocation, no arena) when the benchmarks were built with protobuf:
//
//   build   VirtualDiscoveredClientCreation::Initialize from a map of GUID to
//           ClientData, as GetVMToClientMap calls it
//   answer  the install service's copy of the request with every client id
//           written in
//   reply   what Execute and postOperation do with the reply: scan it for
//           failed clients, copy it (response = *reply), read every client
//           id, walk it and file each client in a std::map by GUID; each of
//           the four passes is also shown alone (reply.scan, reply.copy,
//           reply.ids, reply.walk)
//   memory  resident bytes a built request holds, measured as the growth of
//           the resident set of a fresh process, so the facility's node
//           pool counts
//
// The timed steps run in a warm process (one untimed pass first) and report
// the median of five repetitions of the CPU time of the thread (other work
// on a shared machine then does not count); the inputs are made and the
// results destroyed outside the timing. Freed heap memory stays in the
// process, as the facility's node pool keeps its own, so that neither side
// pays the kernel for fresh pages again at every repetition: the figures
// compare the work on the trees, and vm_map_bench's first pass shows what
// fresh pages cost. A table of the medians, project beside protobuf, closes
// the output.
//
//   build/bench/bench/request_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "QZClientCreation.h"
#include "bench_support.h"
#include "creation/response_reading.h"

#ifdef QZCC_BENCH_PROTOBUF
#include "request_shape.pb.h"
#endif

namespace {

using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;
using qzmsg::Get;
using qzmsg::IsSet;

constexpr int kSizes[] = {1000, 100000, 1000000};
constexpr int kRepetitions = 5;
constexpr const char* kProject = "project";
constexpr const char* kProtobuf = "protobuf";

using Clients = std::map<std::string, ClientData>;

// The builder's input, kept for the benchmarks of the same size that follow.
const Clients& Inputs(int n) {
  static int cachedSize = -1;
  static Clients cached;
  if (n != cachedSize) {
    cached = {};
    cached = qzbench::ClientsByGuid(qzbench::Machines(n));
    cachedSize = n;
  }
  return cached;
}

int Size(const benchmark::State& state) {
  return static_cast<int>(state.range(0));
}

void ReportTime(benchmark::State& state) {
  state.counters["time_per_composition"] = benchmark::Counter(
      static_cast<double>(state.range(0)) *
          static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The reply step's passes, timed one by one in CPU seconds of the thread.
enum Pass : std::size_t { kScan, kCopy, kIds, kWalk, kPassCount };
constexpr const char* kPasses[kPassCount] = {"scan", "copy", "ids", "walk"};

class PassClock {
 public:
  void Start() { last_ = Now(); }
  // Ends the pass under way, which is pass `pass`.
  void Lap(Pass pass) {
    const double now = Now();
    seconds_[pass] += now - last_;
    last_ = now;
  }

  // Each pass's time per composition over the timed iterations.
  void Report(benchmark::State& state) const {
    const double compositions = static_cast<double>(state.range(0)) *
                                static_cast<double>(state.iterations());
    for (std::size_t pass = 0; pass < kPassCount; ++pass) {
      state.counters[kPasses[pass]] = seconds_[pass] / compositions;
    }
  }

 private:
  static double Now() { return qzbench::CpuSeconds(CLOCK_THREAD_CPUTIME_ID); }

  double last_ = 0;
  std::array<double, kPassCount> seconds_{};
};

// Files a client under the key postOperation uses: the GUID, or the
// alternate id after a comma when there is one.
void File(Clients& clients, const std::string& key, ClientData&& data) {
  const std::string::size_type comma = key.find(',');
  const std::string guid = key.substr(0, comma);
  const std::string alternateId =
      comma == std::string::npos ? std::string() : key.substr(comma + 1);
  clients.insert_or_assign(
      clients.end(), alternateId.empty() ? guid : alternateId, std::move(data));
}

// ---- the project ----

class Probe : public VirtualDiscoveredClientCreation {
 public:
  const ClientSetup& Request() const { return request; }
};

void BuildProject(const Clients& clients, Probe& probe) {
  if (!probe.Initialize(clients)) {
    std::fprintf(stderr, "Initialize failed\n");
    std::exit(1);
  }
}

// Execute's and postOperation's passes over the reply, with the same
// accessors, less the log line postOperation writes for each client.
Clients ReadReply(ClientSetup& reply, ClientSetup& response, PassClock& clock) {
  clock.Start();
  int failed = 0;
  if (IsSet(reply, ClientSetup::kClientCompositions)) {
    for (CNMessageBase& composition :
         Get(reply, ClientSetup::kClientCompositions)) {
      if (qzcc::HasFailed(composition)) ++failed;
    }
  }
  clock.Lap(kScan);
  response = reply;
  clock.Lap(kCopy);
  long long ids =
      qzcc::ClientIdOf(Get(response, ClientSetup::kClientCompositions).front());
  for (CNMessageBase& composition :
       Get(response, ClientSetup::kClientCompositions)) {
    ids += qzcc::ClientIdOf(composition);
  }
  benchmark::DoNotOptimize(ids);
  benchmark::DoNotOptimize(failed);
  clock.Lap(kIds);

  Clients clients;
  for (CNMessageBase& composition :
       Get(response, ClientSetup::kClientCompositions)) {
    if (qzcc::HasFailed(composition)) continue;
    CNMessageBase& info = Get(composition, ClientsComposition::kClientInfo);
    CNMessageBase& client = Get(info, App::ClientInfo::kClient);
    CNMessageBase& entity = Get(client, App::Client::kClientEntity);
    CNMessageBase& props = Get(info, App::ClientInfo::kClientProps);
    std::string key = Get(props, App::ClientProps::kText295);
    if (key.empty()) key = Get(props, App::ClientProps::kVmGuid);
    ClientData data;
    data.clientName = Get(entity, QzEntities::ClientEntity::kClientName);
    data.clientId = qzcc::ClientIdIn(entity);
    data.clientNumber = static_cast<int>(Get(client, App::Client::kNumber16));
    data.vmGuid = Get(props, App::ClientProps::kVmGuid);
    data.resultNumber =
        static_cast<int>(Get(props, App::ClientProps::kNumber299));
    File(clients, key, std::move(data));
  }
  clock.Lap(kWalk);
  return clients;
}

void BM_BuildProject(benchmark::State& state) {
  const Clients& clients = Inputs(Size(state));
  {
    Probe warm;
    BuildProject(clients, warm);
  }
  for (auto _ : state) {
    state.PauseTiming();
    auto probe = std::make_unique<Probe>();
    state.ResumeTiming();
    BuildProject(clients, *probe);
    state.PauseTiming();
    probe.reset();
    state.ResumeTiming();
  }
  ReportTime(state);
}

void BM_AnswerProject(benchmark::State& state) {
  Probe probe;
  BuildProject(Inputs(Size(state)), probe);
  {
    ClientSetup warm(probe.Request());
    qzbench::WriteIds(warm);
  }
  for (auto _ : state) {
    auto response = std::make_unique<ClientSetup>(probe.Request());
    qzbench::WriteIds(*response);
    state.PauseTiming();
    response.reset();
    state.ResumeTiming();
  }
  ReportTime(state);
}

void BM_ReplyProject(benchmark::State& state) {
  Probe probe;
  BuildProject(Inputs(Size(state)), probe);
  {
    ClientSetup reply(probe.Request());
    qzbench::WriteIds(reply);
    ClientSetup response;
    PassClock untimed;
    ReadReply(reply, response, untimed);
  }
  PassClock clock;
  for (auto _ : state) {
    state.PauseTiming();
    auto reply = std::make_unique<ClientSetup>(probe.Request());
    qzbench::WriteIds(*reply);
    auto response = std::make_unique<ClientSetup>();
    state.ResumeTiming();
    Clients clients = ReadReply(*reply, *response, clock);
    state.PauseTiming();
    if (clients.size() != static_cast<std::size_t>(Size(state))) {
      state.SkipWithError("a client is missing from the map");
    }
    clients = {};
    response.reset();
    reply.reset();
    state.ResumeTiming();
  }
  ReportTime(state);
  clock.Report(state);
}

// ---- protobuf ----

#ifdef QZCC_BENCH_PROTOBUF

// The request Initialize builds from a map of GUID to ClientData, with the
// same header and the same sanitised client names.
std::unique_ptr<qzbench::ClientSetup> BuildProtobuf(const Clients& clients) {
  auto request = std::make_unique<qzbench::ClientSetup>();
  qzbench::ClientEntity* server =
      request->mutable_serverclientinfo()->mutable_serverclient();
  server->set_clientname("qzcs01");
  server->set_hostname("qzcs01.example.com");
  request->set_number1(0);
  request->set_number2(0);
  request->set_setupkind(34);
  request->set_focusname("Instance001");
  request->mutable_user()->set_userid(1);
  request->mutable_user()->set_username("admin");

  auto* compositions = request->mutable_clientcompositions();
  compositions->Reserve(static_cast<int>(clients.size()));
  for (const auto& [guid, data] : clients) {
    qzbench::ClientInfo* info = compositions->Add()->mutable_clientinfo();
    qzbench::ClientProps* props = info->mutable_clientprops();
    props->set_vmguid(guid);
    props->set_vmname(data.clientName);
    props->set_number271(data.propertyNumber);
    qzbench::ClientEntity* entity =
        info->mutable_client()->mutable_cliententity();
    std::string name = data.clientName;
    replaceSpecialChars(name, "_");
    entity->set_clientname(std::move(name));
    entity->set_displayname(data.clientName);
    entity->set_clientid(0);
  }
  return request;
}

std::unique_ptr<qzbench::ClientSetup> AnswerProtobuf(
    const qzbench::ClientSetup& request) {
  auto response = std::make_unique<qzbench::ClientSetup>(request);
  long long id = 1;
  for (qzbench::ClientsComposition& composition :
       *response->mutable_clientcompositions()) {
    composition.mutable_clientinfo()
        ->mutable_client()
        ->mutable_cliententity()
        ->set_clientid(id++);
  }
  return response;
}

bool Failed(const qzbench::ClientsComposition& composition) {
  return composition.has_clienterror() &&
         composition.clienterror().errorcode() != 0;
}

int ClientId(const qzbench::ClientsComposition& composition) {
  return static_cast<int>(
      composition.clientinfo().client().cliententity().clientid());
}

// The same passes as ReadReply above.
Clients ReadReplyProtobuf(const qzbench::ClientSetup& reply,
                          qzbench::ClientSetup& response, PassClock& clock) {
  clock.Start();
  int failed = 0;
  for (const qzbench::ClientsComposition& composition :
       reply.clientcompositions()) {
    if (Failed(composition)) ++failed;
  }
  clock.Lap(kScan);
  response = reply;
  clock.Lap(kCopy);
  long long ids = ClientId(response.clientcompositions(0));
  for (const qzbench::ClientsComposition& composition :
       response.clientcompositions()) {
    ids += ClientId(composition);
  }
  benchmark::DoNotOptimize(ids);
  benchmark::DoNotOptimize(failed);
  clock.Lap(kIds);

  Clients clients;
  for (const qzbench::ClientsComposition& composition :
       response.clientcompositions()) {
    if (Failed(composition)) continue;
    const qzbench::ClientInfo& info = composition.clientinfo();
    const qzbench::Client& client = info.client();
    const qzbench::ClientEntity& entity = client.cliententity();
    const qzbench::ClientProps& props = info.clientprops();
    std::string key = props.text295();
    if (key.empty()) key = props.vmguid();
    ClientData data;
    data.clientName = entity.clientname();
    data.clientId = static_cast<int>(entity.clientid());
    data.clientNumber = static_cast<int>(client.number16());
    data.vmGuid = props.vmguid();
    data.resultNumber = static_cast<int>(props.number299());
    File(clients, key, std::move(data));
  }
  clock.Lap(kWalk);
  return clients;
}

void BM_BuildProtobuf(benchmark::State& state) {
  const Clients& clients = Inputs(Size(state));
  BuildProtobuf(clients).reset();
  for (auto _ : state) {
    auto request = BuildProtobuf(clients);
    state.PauseTiming();
    request.reset();
    state.ResumeTiming();
  }
  ReportTime(state);
}

void BM_AnswerProtobuf(benchmark::State& state) {
  const auto request = BuildProtobuf(Inputs(Size(state)));
  AnswerProtobuf(*request).reset();
  for (auto _ : state) {
    auto response = AnswerProtobuf(*request);
    state.PauseTiming();
    response.reset();
    state.ResumeTiming();
  }
  ReportTime(state);
}

void BM_ReplyProtobuf(benchmark::State& state) {
  const auto request = BuildProtobuf(Inputs(Size(state)));
  {
    qzbench::ClientSetup response;
    PassClock untimed;
    ReadReplyProtobuf(*AnswerProtobuf(*request), response, untimed);
  }
  PassClock clock;
  for (auto _ : state) {
    state.PauseTiming();
    auto reply = AnswerProtobuf(*request);
    auto response = std::make_unique<qzbench::ClientSetup>();
    state.ResumeTiming();
    Clients clients = ReadReplyProtobuf(*reply, *response, clock);
    state.PauseTiming();
    if (clients.size() != static_cast<std::size_t>(Size(state))) {
      state.SkipWithError("a client is missing from the map");
    }
    clients = {};
    response.reset();
    reply.reset();
    state.ResumeTiming();
  }
  ReportTime(state);
  clock.Report(state);
}

#endif  // QZCC_BENCH_PROTOBUF

// ---- memory, each figure from a fresh process ----

// The child's side: builds one request of `n` compositions and prints the
// growth of the resident set per composition. A one-composition request
// built first keeps start-up costs (the facility's tables, protobuf's
// default instances) out of the figure.
int MeasureMemory(const std::string& side, int n) {
  // The machines stay: memory the process had freed would be reused by
  // whatever allocates from the heap and missed by the resident set.
  const std::vector<VirtualMachine> machines = qzbench::Machines(n);
  const Clients clients = qzbench::ClientsByGuid(machines);
  const Clients one = qzbench::ClientsByGuid(qzbench::Machines(1));
  long long before = 0;
  long long after = 0;
  if (side == kProject) {
    Probe warm;
    BuildProject(one, warm);
    before = qzbench::ResidentBytes();
    Probe probe;
    BuildProject(clients, probe);
    after = qzbench::ResidentBytes();
#ifdef QZCC_BENCH_PROTOBUF
  } else if (side == kProtobuf) {
    const auto warm = BuildProtobuf(one);
    before = qzbench::ResidentBytes();
    const auto request = BuildProtobuf(clients);
    after = qzbench::ResidentBytes();
#endif
  } else {
    std::fprintf(stderr, "unknown side %s\n", side.c_str());
    return 2;
  }
  if (before < 0 || after < 0) {
    std::fprintf(stderr, "cannot read /proc/self/statm\n");
    return 1;
  }
  qzbench::PrintMeasurement(
      "bytes_per_composition",
      static_cast<double>(after - before) / static_cast<double>(n));
  return 0;
}

void BM_Memory(benchmark::State& state, const char* side) {
  std::map<std::string, double> measured;
  for (auto _ : state) {
    std::string error;
    measured = qzbench::RunFresh(
        {"--memory-of", side, std::to_string(state.range(0))}, error);
    if (!error.empty()) state.SkipWithError(error.c_str());
  }
  state.counters["bytes_per_composition"] = measured["bytes_per_composition"];
}

// ---- registration and the closing table ----

struct Step {
  const char* name;
  void (*project)(benchmark::State&);
  void (*protobuf)(benchmark::State&);
};

const Step kSteps[] = {
#ifdef QZCC_BENCH_PROTOBUF
    {"build", BM_BuildProject, BM_BuildProtobuf},
    {"answer", BM_AnswerProject, BM_AnswerProtobuf},
    {"reply", BM_ReplyProject, BM_ReplyProtobuf},
#else
    {"build", BM_BuildProject, nullptr},
    {"answer", BM_AnswerProject, nullptr},
    {"reply", BM_ReplyProject, nullptr},
#endif
};

// Each step of each size runs for the project and then for protobuf, so that
// the two figures of a ratio are taken close together on a noisy machine.
void Register() {
  for (int n : kSizes) {
    // Each repetition some 0.3 s of timed work at 300 ns per composition.
    const int iterations = std::max(1, 1000000 / n);
    for (const Step& step : kSteps) {
      for (const char* side : {kProject, kProtobuf}) {
        auto* function = side == kProject ? step.project : step.protobuf;
        if (function == nullptr) continue;
        benchmark::RegisterBenchmark(
            (std::string(step.name) + "/" + side).c_str(), function)
            ->Arg(n)
            ->Iterations(iterations)
            ->Repetitions(kRepetitions)
            ->ReportAggregatesOnly(true)
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
  for (int n : kSizes) {
    for (const char* side : {kProject, kProtobuf}) {
#ifndef QZCC_BENCH_PROTOBUF
      if (side == kProtobuf) continue;
#endif
      benchmark::RegisterBenchmark(
          (std::string("memory/") + side).c_str(),
          [side](benchmark::State& state) { BM_Memory(state, side); })
          ->Arg(n)
          ->Iterations(1)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
}

// Shows the runs as usual and keeps each figure (the median where there are
// repetitions) for the table.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  using ConsoleReporter::ConsoleReporter;

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) Keep(run);
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintTable() const {
    std::printf("\n%-10s %9s %12s %12s %7s\n", "step", "N", kProject, kProtobuf,
                "ratio");
    std::vector<std::string> steps = {"build", "answer", "reply"};
    for (const char* pass : kPasses)
      steps.push_back(std::string("reply.") + pass);
    steps.push_back("memory");
    for (const std::string& step : steps) {
      const bool bytes = step == "memory";
      for (int n : kSizes) {
        const auto found = figures_.find({step, n});
        if (found == figures_.end()) continue;
        const auto& sides = found->second;
        const auto project = sides.find(kProject);
        const auto protobuf = sides.find(kProtobuf);
        const double scale = bytes ? 1 : 1e9;  // seconds to nanoseconds
        char left[32] = "-";
        char right[32] = "-";
        char ratio[32] = "-";
        if (project != sides.end()) {
          std::snprintf(left, sizeof left, "%.0f", project->second * scale);
        }
        if (protobuf != sides.end()) {
          std::snprintf(right, sizeof right, "%.0f", protobuf->second * scale);
        }
        if (project != sides.end() && protobuf != sides.end() &&
            protobuf->second > 0) {
          std::snprintf(ratio, sizeof ratio, "%.2f",
                        project->second / protobuf->second);
        }
        std::printf("%-10s %9d %12s %12s %7s\n", step.c_str(), n, left, right,
                    ratio);
      }
    }
    std::printf(
        "(build, answer, reply and its passes: median ns per composition; "
        "memory: resident bytes per composition of a built request; ratio: "
        "project / protobuf)\n");
  }

 private:
  void Keep(const Run& run) {
    if (run.error_occurred) return;
    if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") {
      return;
    }
    if (run.run_type == Run::RT_Iteration && run.repetitions > 1) return;
    const std::string& name = run.run_name.function_name;
    const std::string::size_type slash = name.find('/');
    if (slash == std::string::npos) return;
    const std::string step = name.substr(0, slash);
    const std::string side = name.substr(slash + 1);
    const char* counter =
        step == "memory" ? "bytes_per_composition" : "time_per_composition";
    const int n = std::atoi(run.run_name.args.c_str());
    const auto value = run.counters.find(counter);
    if (value == run.counters.end()) return;
    figures_[{step, n}][side] = value->second.value;
    for (const char* pass : kPasses) {
      const auto passed = run.counters.find(pass);
      if (passed == run.counters.end()) continue;
      figures_[{step + "." + pass, n}][side] = passed->second.value;
    }
  }

  std::map<std::pair<std::string, int>, std::map<std::string, double>> figures_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--memory-of") == 0) {
    return MeasureMemory(argv[2], std::atoi(argv[3]));
  }
  qzbench::KeepFreedMemory();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Register();
  TableReporter reporter(isatty(STDOUT_FILENO)
                             ? benchmark::ConsoleReporter::OO_ColorTabular
                             : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintTable();
  benchmark::Shutdown();
  return 0;
}
