#include "host/platform_facts.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "sim/installation.h"

QZPI_PlatformBase::QZPI_PlatformBase()
    : clientName_(qzsim::internal::CurrentFacts().realmServerClientName) {}

int QZPI_PlatformBase::getRealmServerHostName(char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  const auto hostName = qzsim::internal::CurrentFacts().realmServerHostName;
  if (!hostName) return 0;
  const std::size_t length =
      std::min(hostName->size(), static_cast<std::size_t>(size) - 1);
  std::memcpy(buffer, hostName->data(), length);
  buffer[length] = '\0';
  return 1;
}

const char* QZPI_PlatformBase::getRealmServerClientName() {
  return clientName_.c_str();
}

QZPI_RealmServer::QZPI_RealmServer() = default;

int QZPI_RealmServer::getRealmId() {
  return qzsim::internal::CurrentFacts().realmId;
}

const char* QZPI_Focus::getFocus() {
  thread_local std::string focus;
  focus = qzsim::internal::CurrentFacts().focus;
  return focus.c_str();
}
