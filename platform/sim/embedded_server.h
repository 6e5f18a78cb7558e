// The central server that answers setup requests when no scripted handler
// is set: it creates or refreshes one client per composition in the
// catalogue and echoes the request with the results filled in.
#ifndef QZ_PLATFORM_SIM_EMBEDDED_SERVER_H_
#define QZ_PLATFORM_SIM_EMBEDDED_SERVER_H_

#include <string>

#include "messages/install_manager.h"
#include "sim/catalogue.h"

namespace qzsim {

struct ServerIdentity {
  std::string clientName;  // the central server's own client name
};

// Answers `request` into `response`. The request crosses to the server as
// XML, as on the wire, and the server works only from what it parsed; the
// response comes back the same way. A request that cannot cross is answered
// with a setup error. The catalogue changes as one unit of work: on any
// catalogue fault it is rolled back whole and the request is answered with a
// setup error naming the cause (kCatalogueBusyError..kCatalogueError), the
// reason going to `fault`. A composition that finds no free client id gets a
// client error and the rest are served. Returns the service status (0:
// answered); never throws for a catalogue fault.
int ServeClientSetup(Catalogue& catalogue, const ServerIdentity& server,
                     const QZInstallManager::ClientSetup& request,
                     QZInstallManager::ClientSetup& response,
                     std::string& fault);

}  // namespace qzsim

#endif  // QZ_PLATFORM_SIM_EMBEDDED_SERVER_H_
