// The client catalogue (libQZAppMgr): client records, client groups and
// client properties of the central server. Every object is a short-lived
// local handle; the trailing context pointers are passed as null.
//
// No operation throws. Those that return an int return 0 on success and
// otherwise one of:
//   1  no such client (QZClientGroup::create: the group exists already)
//   2  modify() without a successful lookup() before it
//   3  the catalogue failed (busy beyond its wait, full, read-only, an I/O
//      error, a broken constraint, ...); nothing was changed
// The setters never fail: they only change the looked-up record.
#ifndef QZ_HOST_CLIENT_CATALOGUE_H_
#define QZ_HOST_CLIENT_CATALOGUE_H_

#include <memory>
#include <string>

#include "host/platform_export.h"

enum QZNameType : int { QZ_NAME_TYPE_CLIENT_NAME = 1 };

// One client record, opened by name or by id. Changes made by the setters
// reach the catalogue only through modify(), which needs a prior lookup().
// A handle opened by name on a failing catalogue is one of no client: its
// getters return 1.
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
  // 0 when the group was created; 1 when it exists in that realm already;
  // 3 when the catalogue failed.
  int create(void* context);

 private:
  unsigned long long realmId_;
  std::string name_;
};

class QZ_PLATFORM_API ClientProperties {
 public:
  explicit ClientProperties(unsigned long long clientId);
  // Marks the client as one that runs without an agent: 0, or 1 when there
  // is no such client, or 3 when the catalogue failed.
  int setMiniSRMAgentClient(bool value, void* context);

 private:
  unsigned long long clientId_;
};

#endif  // QZ_HOST_CLIENT_CATALOGUE_H_
