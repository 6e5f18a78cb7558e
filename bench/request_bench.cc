// Cost per composition of the request pipeline for discovered machines:
// building a request, copying it (into the creation object and by the
// service), the service filling in every client id, and walking the
// response to file each created client in a map, as the post-processing
// does.
//
//   build/bench/request_bench --benchmark_counters_tabular=true
//
// Counters: ns_per_composition (lower is better), bytes_per_composition
// (heap in use by the request) and peak_MiB (the process's peak resident
// set so far; the sizes run in ascending order).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "QZClientCreation.h"

namespace {

using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;
using qzmsg::Get;
using qzmsg::Set;

// Records every composition shares, built once per request.
struct SharedRecords {
  App::OperatingSystem os;
  App::FilePath path;
  App::VersionInfo version;
  std::vector<CNMessageBase> groups;
  std::vector<CNMessageBase> packages;
  std::vector<CNMessageBase> attributes;

  SharedRecords() {
    Set(os, App::OperatingSystem::kOsFamily, "Windows");
    Set(os, App::OperatingSystem::kOsFlavor, "Server");
    Set(path, App::FilePath::kPath, "N/A");
    QzEntities::BeaconReleaseEnity release;
    Set(release, QzEntities::BeaconReleaseEnity::kReleaseName, "11.0");
    Set(version, App::VersionInfo::kRelease, release);
    Set(version, App::VersionInfo::kVersion, "BUILD80");
    QzEntities::ClientGroupEntity group;
    Set(group, QzEntities::ClientGroupEntity::kClientGroupName, "lab");
    groups.push_back(group);
    QZInstallManager::PackageInformation package;
    Set(package, QZInstallManager::PackageInformation::kPackageId, 402);
    Set(package, QZInstallManager::PackageInformation::kNumber14, 0);
    packages.push_back(package);
  }
};

// A discovered machine, as the builder receives it.
struct Machine {
  std::string name;
  std::string hostName;
  std::string guid;
};

std::vector<Machine> Discover(int n) {
  std::vector<Machine> machines;
  machines.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    char guid[40];
    std::snprintf(guid, sizeof guid, "4c4c4544-%04x-%04x-8000-%012x",
                  (i >> 16) & 0xFFFF, i & 0xFFFF, i);
    const std::string name = "vm-" + std::to_string(i);
    machines.push_back({name, name + ".lab", guid});
  }
  return machines;
}

// One composition as the machine-list builder makes it.
void AddComposition(std::vector<CNMessageBase>& list, const Machine& machine,
                    int number, const SharedRecords& shared) {
  QzEntities::ClientEntity entity;
  Set(entity, QzEntities::ClientEntity::kClientName, machine.name);
  Set(entity, QzEntities::ClientEntity::kHostName, machine.hostName);
  Set(entity, QzEntities::ClientEntity::kDisplayName, machine.name);
  App::OperatingSystem os(shared.os);  // the machine's own, adjusted
  Set(os, App::OperatingSystem::kOsVersion, "6");
  App::Client client;
  Set(client, App::Client::kClientEntity, entity);
  Set(client, App::Client::kOperatingSystem, os);
  Set(client, App::Client::kFilePath, shared.path);
  Set(client, App::Client::kText19, "N/A");
  Set(client, App::Client::kVersionInfo, shared.version);
  App::ClientProps props;
  Set(props, App::ClientProps::kNumber2, 0);
  Set(props, App::ClientProps::kNumber23, 0);
  Set(props, App::ClientProps::kAttributes, shared.attributes);
  Set(props, App::ClientProps::kNumber168, 1);
  Set(props, App::ClientProps::kVmGuid, machine.guid);
  Set(props, App::ClientProps::kText174, "discovered");
  Set(props, App::ClientProps::kVmName, machine.name);
  Set(props, App::ClientProps::kVmHostName, machine.hostName);
  Set(props, App::ClientProps::kNumber271, number);
  App::ClientInfo info;
  Set(info, App::ClientInfo::kClient, client);
  Set(info, App::ClientInfo::kClientProps, props);
  Set(info, App::ClientInfo::kClientGroups, shared.groups);
  QZInstallManager::Components components;
  Set(components, QZInstallManager::Components::kPackages, shared.packages);
  ClientsComposition composition;
  Set(composition, ClientsComposition::kClientInfo, info);
  Set(composition, ClientsComposition::kComponents, components);
  list.push_back(composition);
}

ClientSetup BuildRequest(const std::vector<Machine>& machines) {
  const SharedRecords shared;
  std::vector<CNMessageBase> compositions;
  compositions.reserve(machines.size());
  int number = 0;
  for (const Machine& machine : machines) {
    AddComposition(compositions, machine, number++, shared);
  }
  ClientSetup request;
  Set(request, ClientSetup::kSetupKind, 20);
  Set(request, ClientSetup::kClientCompositions, compositions);
  return request;
}

// What the service does: copy the request and fill in every client id.
ClientSetup Answer(const ClientSetup& request) {
  ClientSetup response(request);
  long long id = 1;
  for (CNMessageBase& composition :
       Get(response, ClientSetup::kClientCompositions)) {
    CNMessageBase& entity =
        Get(Get(Get(composition, ClientsComposition::kClientInfo),
                App::ClientInfo::kClient),
            App::Client::kClientEntity);
    Set(entity, QzEntities::ClientEntity::kClientId, id++);
  }
  return response;
}

// The post-processing walk: one map entry per created client.
std::map<std::string, ClientData> Walk(ClientSetup& response) {
  std::map<std::string, ClientData> clients;
  for (CNMessageBase& composition :
       Get(response, ClientSetup::kClientCompositions)) {
    CNMessageBase& info = Get(composition, ClientsComposition::kClientInfo);
    CNMessageBase& client = Get(info, App::ClientInfo::kClient);
    CNMessageBase& entity = Get(client, App::Client::kClientEntity);
    CNMessageBase& props = Get(info, App::ClientInfo::kClientProps);
    ClientData data;
    data.clientName = Get(entity, QzEntities::ClientEntity::kClientName);
    data.clientId =
        static_cast<int>(Get(entity, QzEntities::ClientEntity::kClientId));
    data.clientNumber = static_cast<int>(Get(client, App::Client::kNumber16));
    data.vmGuid = Get(props, App::ClientProps::kVmGuid);
    std::string key = data.vmGuid;
    clients.insert_or_assign(clients.end(), std::move(key), std::move(data));
  }
  return clients;
}

double PeakMiB() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return 0;
  char line[256];
  double kib = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::atof(line + 6);
  }
  std::fclose(status);
  return kib / 1024;
}

void Report(benchmark::State& state, double bytesPerComposition = -1) {
  const auto n = static_cast<double>(state.range(0));
  state.counters["ns_per_composition"] = benchmark::Counter(
      n * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  if (bytesPerComposition >= 0) {
    state.counters["bytes_per_composition"] = bytesPerComposition;
  }
  state.counters["peak_MiB"] = PeakMiB();
}

void BM_Build(benchmark::State& state) {
  const std::vector<Machine> machines =
      Discover(static_cast<int>(state.range(0)));
  double bytes = 0;
  for (auto _ : state) {
    const std::size_t before = mallinfo2().uordblks;
    ClientSetup request = BuildRequest(machines);
    state.PauseTiming();
    bytes = static_cast<double>(mallinfo2().uordblks - before) /
            static_cast<double>(machines.size());
    request = ClientSetup();
    state.ResumeTiming();
  }
  Report(state, bytes);
}

// Copies share storage until one side changes, so copying the request into
// the creation object and by the service costs the same at any size.
void BM_DeepCopy(benchmark::State& state) {
  const ClientSetup request =
      BuildRequest(Discover(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    ClientSetup held(request);   // into the creation object
    ClientSetup received(held);  // by the service
    benchmark::DoNotOptimize(received);
  }
  Report(state);
}

// The service's copy with every client id filled in: the compositions it
// writes to stop sharing storage with the request.
void BM_Answer(benchmark::State& state) {
  const ClientSetup request =
      BuildRequest(Discover(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    ClientSetup response = Answer(request);
    state.PauseTiming();
    response = ClientSetup();
    state.ResumeTiming();
  }
  Report(state);
}

void BM_Walk(benchmark::State& state) {
  const ClientSetup request =
      BuildRequest(Discover(static_cast<int>(state.range(0))));
  const ClientSetup answered = Answer(request);
  for (auto _ : state) {
    state.PauseTiming();
    ClientSetup response(answered);  // as Execute keeps its copy
    state.ResumeTiming();
    std::map<std::string, ClientData> clients = Walk(response);
    benchmark::DoNotOptimize(clients);
    state.PauseTiming();
    clients = {};
    response = ClientSetup();
    state.ResumeTiming();
  }
  Report(state);
}

// Warmed up and run for several iterations even at a million compositions,
// so that the figures show a process in its steady state rather than the
// kernel handing it fresh pages, which costs the first pass over a million
// compositions about as much again.
void Sizes(benchmark::internal::Benchmark* bench) {
  bench->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MinWarmUpTime(1.0)
      ->MinTime(3.0);
  for (int n : {1000, 10000, 100000, 1000000}) bench->Arg(n);
}

BENCHMARK(BM_Build)->Apply(Sizes);
BENCHMARK(BM_DeepCopy)->Apply(Sizes);
BENCHMARK(BM_Answer)->Apply(Sizes);
BENCHMARK(BM_Walk)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
