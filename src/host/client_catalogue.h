// The client catalogue (libQZAppMgr): client records, client groups and
// client properties of the central server. Every object is a short-lived
// local handle; the trailing context pointers are passed as null.
#ifndef QZ_HOST_CLIENT_CATALOGUE_H_
#define QZ_HOST_CLIENT_CATALOGUE_H_

#include <memory>
#include <string>

#include "host/platform_export.h"

enum QZNameType : int { QZ_NAME_TYPE_CLIENT_NAME = 1 };

// One client record, opened by name or by id. Getters return 0 on success.
// Changes made by the setters reach the catalogue only through modify(),
// which needs a prior lookup().
class QZ_PLATFORM_API QZClient {
 public:
  QZClient(const std::string& name, QZNameType type, unsigned long long number,
           void* context);
  explicit QZClient(unsigned long long clientId);
  ~QZClient();
  QZClient(const QZClient&) = delete;
  QZClient& operator=(const QZClient&) = delete;

  int getClientId(unsigned long long& clientId, void* context);
  int isDeleted(bool& deleted, void* context);
  int getNetworkHostname(std::string& hostName, void* context);
  int getOperatingSystemId(int& osId, void* context);
  int lookup(void* context);
  void setevmgrcPort(unsigned long long port);
  void setQZDPort(unsigned long long port);
  void setInstallDirectory(const std::string& path, int kind);
  void setOperatingSystemId(int osId);
  int modify(void* context);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

class QZ_PLATFORM_API QZClientGroup {
 public:
  QZClientGroup(unsigned long long realmId, const std::string& name);
  // 0 when the group was created; non-zero otherwise (for instance when it
  // exists in that realm already).
  int create(void* context);

 private:
  unsigned long long realmId_;
  std::string name_;
};

class QZ_PLATFORM_API ClientProperties {
 public:
  explicit ClientProperties(unsigned long long clientId);
  // Marks the client as one that runs without an agent; 0 on success.
  int setMiniSRMAgentClient(bool value, void* context);

 private:
  unsigned long long clientId_;
};

#endif  // QZ_HOST_CLIENT_CATALOGUE_H_
