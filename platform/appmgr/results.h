// The result codes of the client catalogue stand-ins, as documented in
// host/client_catalogue.h.
#ifndef QZ_PLATFORM_APPMGR_RESULTS_H_
#define QZ_PLATFORM_APPMGR_RESULTS_H_

namespace qzappmgr {

constexpr int kOk = 0;
constexpr int kNoSuchClient = 1;
constexpr int kGroupExists = 1;
constexpr int kNotLookedUp = 2;
constexpr int kCatalogueFailed = 3;

}  // namespace qzappmgr

#endif  // QZ_PLATFORM_APPMGR_RESULTS_H_
