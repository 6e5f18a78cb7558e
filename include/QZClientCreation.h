// Pre-declares clients on the central management server.
//
// A host program constructs a creation object, prepares its request with one
// Initialize overload, calls Execute only when Initialize returned true, then
// reads getErrorCode and getErrorString (Execute may return true while a
// single client failed) and, for virtual machines, getClients. Objects are
// destroyed as the type they were created as: the destructor is not virtual.
//
// Everything runs on the calling thread; one object is used by one thread at
// a time. gClientMap is shared by the whole process and unguarded.
#ifndef QZCLIENTCREATION_H_
#define QZCLIENTCREATION_H_

#include <map>
#include <string>
#include <vector>

#include "QZClientCreationExport.h"
#include "messages/records.h"

// One discovered virtual machine, as a discovery run reports it.
struct QZCC_EXPORT VirtualMachine {
  std::string name;          // display name; sanitised into the client name
  std::string hostName;      // network host name
  std::string propertyText;  // passed through as is
  std::string guid;          // the machine's key
  App::OperatingSystem operatingSystem;
  int osType = 0;           // 0 selects the Windows-family package
  std::string alternateId;  // when set, the created client is filed by it
  unsigned int propertyNumber = 0;  // passed through as is
};

// A client to create for a machine, or one that was created.
class QZCC_EXPORT ClientData {
 public:
  ClientData();
  ClientData(const ClientData& other);
  ClientData& operator=(const ClientData& other);
  ~ClientData();

  std::string clientName;
  long long clientId;
  long long clientNumber;
  std::string extraText1;  // carried for callers, never read or written
  int extraNumber;         // carried for callers, never read or written
  std::string extraText2;  // carried for callers, never read or written
  unsigned int propertyNumber;
  int resultNumber;
  std::string vmGuid;
};

// Results of the last virtual-machine creation, by machine GUID or by the
// machine's alternate id.
QZCC_EXPORT extern std::map<std::string, ClientData> gClientMap;
// Exported for callers; the library never reads or writes these.
QZCC_EXPORT extern std::map<std::string, VirtualMachine> requestMap;
QZCC_EXPORT extern bool gIssueRequest;

class QZCC_EXPORT QZClientCreation {
 public:
  QZClientCreation();
  ~QZClientCreation();  // not virtual: destroy objects as their own type

  // Takes a prepared request whole (the argument is left unchanged) and
  // clears the error state. Always true.
  bool Initialize(QZInstallManager::ClientSetup& setup);

  // One named client. A client the catalogue holds live is refreshed with
  // its stored host name; a new or deleted one is declared with the
  // operating system of `osType` and the details a new client needs. One
  // package per add-on. When clientGroupName is set (see the group overload)
  // the group is created first and the client joins it. False, with the
  // request untouched, when the central server's host name is unavailable.
  bool Initialize(std::string clientName, TMMsg::InstallOSType osType,
                  std::vector<QZInstallManager::AddOnComponents>& addOns,
                  bool compositionFlag);
  // The same, for any family, without add-ons.
  bool Initialize(std::string clientName);
  // The same, declaring `hostName` unless the catalogue knows the client.
  bool Initialize(std::string clientName, TMMsg::InstallOSType osType,
                  std::string hostName,
                  std::vector<QZInstallManager::AddOnComponents>& addOns,
                  bool compositionFlag);
  // The same, in the client group `clientGroupName`.
  bool Initialize(std::string clientName, std::string clientGroupName,
                  TMMsg::InstallOSType osType,
                  std::vector<QZInstallManager::AddOnComponents>& addOns);

  // Several named clients in one request, in the order given, each declared
  // under its own name as host name and in the clientGroupName group when
  // that is set (the group is created first; a failure to create it is
  // logged and passed over). False when the central server's host name is
  // unavailable. Pass the names as a vector: a braced pair of literals would
  // also read as one string.
  bool Initialize(std::vector<std::string> clientNames,
                  TMMsg::InstallOSType osType,
                  std::vector<QZInstallManager::AddOnComponents>& addOns);
  // The same, for any family, without add-ons.
  bool Initialize(std::vector<std::string> clientNames);

  // Submits the request, records per-client and overall errors, adjusts the
  // records of the created clients and runs the hooks. False when the
  // request as a whole failed; true with a non-zero error code when only
  // single clients failed.
  bool Execute();

  // A copy of the process-wide gClientMap, the same for every object.
  std::map<std::string, ClientData> getClients() const;

  unsigned long long getErrorCode() const;
  std::string getErrorString() const;
  void setErrorCode(unsigned long long code);
  void setErrorString(std::string text);

  // Run by Execute before submitting and after adjusting; false fails it.
  virtual bool preOperation();
  virtual bool postOperation();

 protected:
  std::string clientName;
  std::string clientGroupName;
  std::string hostName;
  std::vector<unsigned long long> idList;
  std::map<std::string, ClientData> clientDataMap;
  TMMsg::InstallOSType osType;
  std::vector<int> intList;
  unsigned long long clientId;  // all bits set: no id held
  unsigned long long errorCode;
  std::string errorString;
  QZInstallManager::ClientSetup request;
  QZInstallManager::ClientSetup response;
};

// Creates clients that run without an agent: each request carries the agent
// component of its family (Windows or Unix only), and every client created
// without error is marked agentless afterwards.
class QZCC_EXPORT AgentLessClientCreation : public QZClientCreation {
 public:
  // False, changing nothing, for a family other than Windows and Unix.
  bool Initialize(std::string clientName, TMMsg::InstallOSType osType);
  // Sets the group name first, whatever the result.
  bool Initialize(std::string clientName, std::string clientGroupName,
                  TMMsg::InstallOSType osType);
  bool Initialize(std::vector<std::string> clientNames,
                  std::string clientGroupName, TMMsg::InstallOSType osType);

  bool preOperation() override;
  // Marks every client that did not fail; logs the ones that did. True.
  bool postOperation() override;
};

// Creates clients for virtual machines a discovery run found and files each
// created client in gClientMap under its machine's GUID (or alternate id).
// Only one virtual-machine creation may be built or executed at a time in a
// process; GetVMToClientMap takes care of that for its own calls.
class QZCC_EXPORT VirtualDiscoveredClientCreation : public QZClientCreation {
 public:
  VirtualDiscoveredClientCreation();
  ~VirtualDiscoveredClientCreation();  // not virtual, as the base's

  // One client per machine, in the machines' order, with the machine's
  // operating system, properties, the named group (created first) and, when
  // `withPackage`, the agent package of the machine's family.
  // `installerFlagsValue` and `setupValue` go out as given. Clears
  // gClientMap first. False when the message facility does not start or the
  // central server's host name is unavailable.
  bool Initialize(std::vector<VirtualMachine> machines,
                  std::string clientGroupName, bool withPackage,
                  int installerFlagsValue, int setupValue);
  // Named clients in the group `clientGroupName` (see the next overload).
  bool Initialize(std::vector<std::string> clientNames,
                  std::string clientGroupName, TMMsg::InstallOSType osType,
                  bool withPackage);
  // Named clients as the multi-client request builds them, with the agent
  // package of `osType` when `withPackage`; false, changing nothing, when a
  // package is asked for a family other than Windows and Unix.
  bool Initialize(std::vector<std::string> clientNames,
                  TMMsg::InstallOSType osType, bool withPackage);
  // One client per entry, in key order: the key is the machine's GUID, the
  // value's clientName the machine's name. Clears gClientMap first (so
  // passing gClientMap itself requests nothing). On failure errorString
  // says why.
  bool Initialize(const std::map<std::string, ClientData>& vmClients);

  bool preOperation() override;
  // Files every created client in gClientMap; false when the response has
  // no client compositions.
  bool postOperation() override;
};

// Replaces, in place, every character that a client name may not hold (the
// ASCII punctuation except "-", "." and "_", blank and tab) with the first
// character of `replacement`. Throws std::out_of_range when `replacement` is
// empty and there is something to replace. Thread-safe.
QZCC_EXPORT void replaceSpecialChars(std::string& text,
                                     std::string replacement);

// Creates one client per discovered machine (by GUID; only names and GUIDs
// are read) and replaces `clientMap` with the map from GUID to created
// client. True, changing nothing, for an empty list. On failure `clientMap`
// is untouched and the reason is in the debug log. Calls from several
// threads are serialised.
extern "C" QZCC_EXPORT bool GetVMToClientMap(
    const std::vector<VirtualMachine>& machines,
    std::map<std::string, ClientData>& clientMap);

#endif  // QZCLIENTCREATION_H_
