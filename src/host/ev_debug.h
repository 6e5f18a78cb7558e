// The installation's debug logger (libQzLib). Formats follow printf; the
// library uses %s, %d and %lu only, and the compiler checks every call.
#ifndef QZ_HOST_EV_DEBUG_H_
#define QZ_HOST_EV_DEBUG_H_

#include "host/platform_export.h"

class EvDebugFileInstance;

class QZ_PLATFORM_API EvDebug {
 public:
  // A null `file` writes to the installation's default debug log.
  explicit EvDebug(EvDebugFileInstance* file);

  void Debug(const char* tag, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  void DebugLvl(const char* tag, int level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  void Error(const char* tag, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  void debug(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  [[maybe_unused]] EvDebugFileInstance* file_;  // where the lines go
};

#endif  // QZ_HOST_EV_DEBUG_H_
