// How qzclients ends: its exit codes, after BSD sysexits, so that a script
// can tell a retryable lock from bad input, and the failures that carry one.
#ifndef QZ_TOOLS_QZCLIENTS_EXIT_CODES_H_
#define QZ_TOOLS_QZCLIENTS_EXIT_CODES_H_

#include <exception>
#include <stdexcept>
#include <string>

namespace qzclients {

constexpr int kExitOk = 0;                 // every client done
constexpr int kExitSomeClientsFailed = 1;  // some clients not done
constexpr int kExitRequestFailed = 2;      // the request refused whole
constexpr int kExitUsage = 64;
constexpr int kExitDataError = 65;     // bad inventory, not a catalogue
constexpr int kExitNoInput = 66;       // the inventory cannot be read
constexpr int kExitUnavailable = 69;   // libvirt cannot be reached
constexpr int kExitSoftware = 70;      // a fault of qzclients itself
constexpr int kExitCannotCreate = 73;  // the catalogue cannot be written
constexpr int kExitIoError = 74;       // disk full or failing, output lost
constexpr int kExitTryAgain = 75;      // the catalogue is busy

// A run that cannot go on; what() names what and where.
class Failure : public std::runtime_error {
 public:
  Failure(int exitCode, const std::string& what)
      : std::runtime_error(what), exitCode_(exitCode) {}
  int exitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

// The exit code of a request the server refused whole with setup error
// `code`: the catalogue's own faults have codes of their own, anything else
// is kExitRequestFailed.
int ExitCodeOfSetupError(long long code);

// The exit code of an exception the catalogue threw, when `opening` it or
// reading it; kExitRequestFailed when it is not the catalogue's.
int ExitCodeOfCatalogueError(const std::exception& error, bool opening);

// The exit code of `fault`, the text of qzsim::lastCatalogueError for the
// most recent catalogue failure; kExitRequestFailed when it is empty.
int ExitCodeOfCatalogueFault(const std::string& fault);

}  // namespace qzclients

#endif  // QZ_TOOLS_QZCLIENTS_EXIT_CODES_H_
