// The operating-system family of a request.
#ifndef QZ_MESSAGES_INSTALL_OS_TYPE_H_
#define QZ_MESSAGES_INSTALL_OS_TYPE_H_

namespace TMMsg {

// A plain int underneath: callers may pass any value, and values other than
// the named ones are handled as "any family" where the family matters.
enum InstallOSType : int {
  INSTALL_OS_WINDOWS = 0,
  INSTALL_OS_UNIX = 1,
  INSTALL_OS_ANY = 4,
  INSTALL_OS_NONE = 100,  // a creation object's value before any request
};

}  // namespace TMMsg

#endif  // QZ_MESSAGES_INSTALL_OS_TYPE_H_
