#include "host/install_client.h"

#include "messages/install_manager.h"
#include "sim/installation.h"

int ProcessClientSetupRequest(QZInstallManager::ClientSetup* request,
                              QZInstallManager::ClientSetup** response) {
  return qzsim::internal::Submit(*request, response);
}
