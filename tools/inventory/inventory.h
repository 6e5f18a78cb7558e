// Reads discovered virtual machines from a JSON inventory:
//
//   {"machines": [{"name": ..., "hostName": ..., "propertyText": ...,
//                  "guid": ..., "alternateId": ..., "propertyNumber": N,
//                  "osType": N,
//                  "operatingSystem": {"osId": N, "osFamily": ...,
//                                      "osFlavor": ..., "processor": ...,
//                                      "osVersion": ..., "displayName": ...}}]}
//
// Every machine field except "name" and "guid" may be left out; texts
// default to "", numbers to 0, and operating-system fields that are left out
// are not set. "guid" must not be empty, "osType" is 0 (Windows), 1 (Unix)
// or 4 (any), and a key not listed here is an error, so that a misspelt one
// is never silently ignored.
#ifndef QZ_TOOLS_INVENTORY_INVENTORY_H_
#define QZ_TOOLS_INVENTORY_INVENTORY_H_

#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

#include "QZClientCreation.h"

namespace inventory {

// Thrown for an unreadable or malformed inventory; the message names the
// file, the machine (by its 1-based index) and the key.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Options {
  // Two machines with one GUID, or one non-empty alternate id, are an error
  // naming both; with lastWins the later one replaces the earlier, and a
  // warning says so.
  bool lastWins = false;
};

// The machines of the inventory at `path`, in the file's order; "-" reads
// standard input. Warnings, if any, are appended to `warnings` when given.
std::vector<VirtualMachine> Load(const std::string& path,
                                 const Options& options = {},
                                 std::vector<std::string>* warnings = nullptr);

// The same from an open stream; `name` stands for it in messages.
std::vector<VirtualMachine> Read(std::istream& in, const std::string& name,
                                 const Options& options = {},
                                 std::vector<std::string>* warnings = nullptr);

}  // namespace inventory

#endif  // QZ_TOOLS_INVENTORY_INVENTORY_H_
