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
// are not set.
#ifndef QZ_TOOLS_INVENTORY_INVENTORY_H_
#define QZ_TOOLS_INVENTORY_INVENTORY_H_

#include <stdexcept>
#include <string>
#include <vector>

#include "QZClientCreation.h"

namespace inventory {

// Thrown for an unreadable or malformed inventory; the message names the
// file, the machine and the field.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::vector<VirtualMachine> Load(const std::string& path);

}  // namespace inventory

#endif  // QZ_TOOLS_INVENTORY_INVENTORY_H_
