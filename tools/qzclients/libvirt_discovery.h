// Discovered machines from a libvirt connection: every domain, running or
// not, becomes one machine.
#ifndef QZ_TOOLS_QZCLIENTS_LIBVIRT_DISCOVERY_H_
#define QZ_TOOLS_QZCLIENTS_LIBVIRT_DISCOVERY_H_

#include <stdexcept>
#include <string>
#include <vector>

#include "QZClientCreation.h"

namespace qzclients {

class DiscoveryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The domains of the connection `uri`, sorted by name and then UUID (libvirt
// lists them in no stable order). Each machine carries the domain's name,
// UUID as GUID, the name as host name, the domain id (0 when inactive) as
// property number, the URI as property text and the domain's OS type as
// operating-system flavor. A "test://" URI with a relative path names a file
// under the current folder. Throws DiscoveryError naming the URI and
// libvirt's reason; libvirt's own error printing and logging are silenced.
std::vector<VirtualMachine> DiscoverLibvirtDomains(const std::string& uri);

}  // namespace qzclients

#endif  // QZ_TOOLS_QZCLIENTS_LIBVIRT_DISCOVERY_H_
