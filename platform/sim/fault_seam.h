// The catalogue's fault-injecting seam: counts the SQLite calls the
// catalogue makes and fails the one a test chose, without reaching SQLite.
//
// Counted calls are every prepare, bind, step and exec (BEGIN, COMMIT and
// ROLLBACK included); resets, column reads, finalize, open and close are
// not. The installation owns one seam for all the catalogues it opens, so
// the count and an armed fault survive openCatalogue.
//
// Not thread-safe: the installation serialises every use.
#ifndef QZ_PLATFORM_SIM_FAULT_SEAM_H_
#define QZ_PLATFORM_SIM_FAULT_SEAM_H_

#include <limits>

namespace qzsim {

class FaultSeam {
 public:
  // SQLite's SQLITE_OK: the call may go ahead.
  static constexpr int kGoAhead = 0;

  // Counts one call: kGoAhead, or the code it fails with. One compare while
  // nothing is armed: servers make millions.
  int Next() { return ++calls_ < armedAt_ ? kGoAhead : Fire(); }

  // Call `index` (1: the next) fails with `code`; with `persistent`, so
  // does every later one. Restarts the count.
  void Arm(long long index, int code, bool persistent) {
    calls_ = 0;
    armedAt_ = index;
    code_ = code;
    persistent_ = persistent;
  }
  void Clear() { Arm(kNever, kGoAhead, false); }
  long long calls() const { return calls_; }

 private:
  static constexpr long long kNever = std::numeric_limits<long long>::max();

  int Fire() {
    if (!persistent_) armedAt_ = kNever;
    return code_;
  }

  long long calls_ = 0;
  long long armedAt_ = kNever;
  int code_ = kGoAhead;
  bool persistent_ = false;
};

}  // namespace qzsim

#endif  // QZ_PLATFORM_SIM_FAULT_SEAM_H_
