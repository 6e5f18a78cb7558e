#include <string>

#include "host/client_catalogue.h"
#include "sim/installation.h"

QZClientGroup::QZClientGroup(unsigned long long realmId,
                             const std::string& name)
    : realmId_(realmId), name_(name) {
  qzsim::internal::Journal("QZClientGroup(realm=" + std::to_string(realmId) +
                           ",name=" + name + ")");
}

int QZClientGroup::create(void* /*context*/) {
  qzsim::internal::Journal("create");
  return qzsim::internal::CreateGroup(realmId_, name_);
}
