#include <string>

#include "appmgr/results.h"
#include "host/client_catalogue.h"
#include "sim/installation.h"

ClientProperties::ClientProperties(unsigned long long clientId)
    : clientId_(clientId) {
  qzsim::internal::Journal("ClientProperties(id=" + std::to_string(clientId) +
                           ")");
}

int ClientProperties::setMiniSRMAgentClient(bool value, void* /*context*/) {
  bool found = false;
  const bool done = qzsim::internal::UseCatalogue(
      "setMiniSRMAgentClient(id=" + std::to_string(clientId_) + "," +
          (value ? "true" : "false") + ")",
      qzsim::internal::Access::kWrite, [&](qzsim::Catalogue& c) {
        auto client = c.FindClient(static_cast<long long>(clientId_));
        if (!client) return;
        client->agentless = value;
        found = c.UpdateClient(*client);
      });
  if (!done) return qzappmgr::kCatalogueFailed;
  return found ? qzappmgr::kOk : qzappmgr::kNoSuchClient;
}
