#include "bench_support.h"

#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <sstream>

#include "sim/qzsim.h"

extern char** environ;

namespace qzbench {
namespace {

using QZInstallManager::ClientSetup;
using qzmsg::Get;
using qzmsg::Set;

// A line of /proc/self/status, such as "VmHWM:", in bytes; -1 when absent.
long long StatusBytes(const char* key) {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  const std::size_t length = std::strlen(key);
  char line[256];
  long long kib = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, key, length) == 0) {
      kib = std::atoll(line + length);
      break;
    }
  }
  std::fclose(status);
  return kib < 0 ? -1 : kib * 1024;
}

}  // namespace

std::vector<VirtualMachine> Machines(int n) {
  std::vector<VirtualMachine> machines(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    char guid[40];
    std::snprintf(guid, sizeof guid, "4c4c4544-%04x-%04x-8000-%012x",
                  (i >> 16) & 0xFFFF, i & 0xFFFF, i);
    VirtualMachine& machine = machines[static_cast<std::size_t>(i)];
    machine.guid = guid;
    machine.name = "vm " + std::to_string(i);
  }
  return machines;
}

bool Complete(const std::map<std::string, ClientData>& clients,
              std::size_t machines) {
  if (clients.size() != machines) return false;
  for (const auto& entry : clients) {
    if (entry.second.clientId == 0) return false;
  }
  return true;
}

std::map<std::string, ClientData> ClientsByGuid(
    const std::vector<VirtualMachine>& machines) {
  std::map<std::string, ClientData> clients;
  for (const VirtualMachine& machine : machines) {
    ClientData data;
    data.clientName = machine.name;
    clients.insert_or_assign(machine.guid, data);
  }
  return clients;
}

void WriteIds(ClientSetup& response) {
  long long id = 1;
  for (CNMessageBase& composition :
       Get(response, ClientSetup::kClientCompositions)) {
    CNMessageBase& entity = Get(
        Get(Get(composition, QZInstallManager::ClientsComposition::kClientInfo),
            App::ClientInfo::kClient),
        App::Client::kClientEntity);
    Set(entity, QzEntities::ClientEntity::kClientId, id++);
  }
}

void UseEchoService() {
  qzsim::setInstallHandler(
      [](const ClientSetup& request, std::optional<ClientSetup>& response) {
        response.emplace(request);
        WriteIds(*response);
        return 0;
      });
}

double CpuSeconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) +
         1e-9 * static_cast<double>(now.tv_nsec);
}

void KeepFreedMemory() {
  mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
  mallopt(M_MMAP_THRESHOLD, std::numeric_limits<int>::max());
}

long long ResidentBytes() {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return -1;
  long long pages = 0;
  long long resident = -1;
  if (std::fscanf(statm, "%lld %lld", &pages, &resident) != 2) resident = -1;
  std::fclose(statm);
  return resident < 0 ? -1 : resident * sysconf(_SC_PAGESIZE);
}

long long PeakResidentBytes() { return StatusBytes("VmHWM:"); }

bool ResetPeakResident() {
  // Writing 5 to clear_refs resets VmHWM to the current resident set.
  const int fd = open("/proc/self/clear_refs", O_WRONLY);
  if (fd < 0) return false;
  const bool reset = write(fd, "5", 1) == 1;
  close(fd);
  return reset;
}

std::map<std::string, double> RunFresh(
    const std::vector<std::string>& arguments, std::string& error) {
  std::map<std::string, double> measurements;
  std::vector<std::string> words{"/proc/self/exe"};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe(out) != 0) {
    error = "pipe failed";
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, out[1]);
  pid_t child = 0;
  const int spawned =
      posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    error =
        std::string("cannot start a fresh process: ") + std::strerror(spawned);
    return {};
  }
  std::string text;
  char buffer[4096];
  ssize_t count = 0;
  while ((count = read(out[0], buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(count));
  }
  close(out[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = "the fresh process failed: " + text;
    return {};
  }
  std::istringstream lines(text);
  std::string name;
  double value = 0;
  while (lines >> name >> value) measurements[name] = value;
  if (measurements.empty()) error = "the fresh process printed nothing";
  return measurements;
}

void PrintMeasurement(const char* name, double value) {
  std::printf("%s %.17g\n", name, value);
  std::fflush(stdout);
}

}  // namespace qzbench
