// The install service (libQZInstallClient).
#ifndef QZ_HOST_INSTALL_CLIENT_H_
#define QZ_HOST_INSTALL_CLIENT_H_

#include "host/platform_export.h"

namespace QZInstallManager {
class ClientSetup;
}

// Submits `request` to the central server. `*response` must be null on entry;
// on return it is either still null or points to a response record that the
// service owns and keeps valid until the next submission. Returns 0 on
// success, any other value on a failure without further detail.
QZ_PLATFORM_API int ProcessClientSetupRequest(
    QZInstallManager::ClientSetup* request,
    QZInstallManager::ClientSetup** response);

#endif  // QZ_HOST_INSTALL_CLIENT_H_
