// What the benchmark programs share: the discovered machines, the scripted
// echo service, resident-memory readings and measurements taken in a fresh
// process.
#ifndef QZ_BENCH_BENCH_SUPPORT_H_
#define QZ_BENCH_BENCH_SUPPORT_H_

#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "QZClientCreation.h"

namespace qzbench {

// `n` discovered machines named "vm <i>" (a name the library must
// sanitise), with GUIDs that sort in the machines' order.
std::vector<VirtualMachine> Machines(int n);

// Whether a map GetVMToClientMap filled for `machines` machines has a client
// with an id for each.
bool Complete(const std::map<std::string, ClientData>& clients,
              std::size_t machines);

// The map GetVMToClientMap builds from `machines` and hands to the VM
// builder: GUID to a ClientData holding the machine's name.
std::map<std::string, ClientData> ClientsByGuid(
    const std::vector<VirtualMachine>& machines);

// What the scripted echo service does to its copy of the request: writes
// client ids 1, 2, ... into the compositions in order. Callers make the copy
// in place and call this on it: copying a record again after writing to it
// copies its nodes at once, which the service does not pay.
void WriteIds(QZInstallManager::ClientSetup& response);

// Makes an echo service the simulated installation's install service: the
// request back, with WriteIds applied.
void UseEchoService();

// CPU seconds so far of `clock`: CLOCK_THREAD_CPUTIME_ID or
// CLOCK_PROCESS_CPUTIME_ID, so that other work on a shared machine does not
// count.
double CpuSeconds(clockid_t clock);

// Keeps memory the process frees for its later allocations instead of
// giving it back to the system: no trimming of the heap, no mapping of
// large blocks of their own.
void KeepFreedMemory();

// The process's resident set now, and its peak since it started or since
// the last successful ResetPeakResident, in bytes.
long long ResidentBytes();
long long PeakResidentBytes();
// False where the kernel does not let the process reset its peak.
bool ResetPeakResident();

// Runs this program again, as a fresh process, with `arguments`; returns the
// "name value" lines it printed. Empty, with `error` set, when it failed.
std::map<std::string, double> RunFresh(
    const std::vector<std::string>& arguments, std::string& error);

// Prints one measurement of a fresh process, for RunFresh to read.
void PrintMeasurement(const char* name, double value);

}  // namespace qzbench

#endif  // QZ_BENCH_BENCH_SUPPORT_H_
