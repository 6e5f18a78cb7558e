#include <optional>
#include <string>

#include "appmgr/results.h"
#include "host/client_catalogue.h"
#include "sim/installation.h"

QZClientGroup::QZClientGroup(unsigned long long realmId,
                             const std::string& name)
    : realmId_(realmId), name_(name) {
  qzsim::internal::Journal("QZClientGroup(realm=" + std::to_string(realmId) +
                           ",name=" + name + ")");
}

int QZClientGroup::create(void* /*context*/) {
  const std::optional<int> forced = qzsim::internal::ForcedGroupCreateResult();
  if (forced && *forced != qzappmgr::kOk) {
    // A forced failure leaves the catalogue as it was.
    qzsim::internal::Journal("create");
    return *forced;
  }
  bool created = false;
  if (!qzsim::internal::UseCatalogue("create", qzsim::internal::Access::kWrite,
                                     [&](qzsim::Catalogue& c) {
                                       created = c.CreateGroup(realmId_, name_);
                                     })) {
    return qzappmgr::kCatalogueFailed;
  }
  if (forced) return *forced;
  return created ? qzappmgr::kOk : qzappmgr::kGroupExists;
}
