#include <string>

#include "host/client_catalogue.h"
#include "sim/installation.h"

namespace {

constexpr int kOk = 0;
constexpr int kNoSuchClient = 1;

}  // namespace

ClientProperties::ClientProperties(unsigned long long clientId)
    : clientId_(clientId) {
  qzsim::internal::Journal("ClientProperties(id=" + std::to_string(clientId) +
                           ")");
}

int ClientProperties::setMiniSRMAgentClient(bool value, void* /*context*/) {
  qzsim::internal::Journal(
      "setMiniSRMAgentClient(id=" + std::to_string(clientId_) + "," +
      (value ? "true" : "false") + ")");
  auto client = qzsim::internal::FindClient(static_cast<long long>(clientId_));
  if (!client) return kNoSuchClient;
  client->agentless = value;
  return qzsim::internal::UpdateClient(*client) ? kOk : kNoSuchClient;
}
