// Platform facts of the installation (libQzLib).
#ifndef QZ_HOST_PLATFORM_FACTS_H_
#define QZ_HOST_PLATFORM_FACTS_H_

#include <string>

#include "host/platform_export.h"

class QZ_PLATFORM_API QZPI_PlatformBase {
 public:
  QZPI_PlatformBase();
  // Writes the central server's host name into `buffer`, NUL-terminated
  // within `size`. Non-zero on success, 0 on failure.
  int getRealmServerHostName(char* buffer, int size);
  // The central server's own client name; never null, valid while this
  // object lives.
  const char* getRealmServerClientName();

 private:
  std::string clientName_;
};

class QZ_PLATFORM_API QZPI_RealmServer {
 public:
  QZPI_RealmServer();
  int getRealmId();
};

class QZ_PLATFORM_API QZPI_Focus {
 public:
  // The current focus (instance) name; never null, valid on the calling
  // thread until its next call.
  static const char* getFocus();
};

#endif  // QZ_HOST_PLATFORM_FACTS_H_
