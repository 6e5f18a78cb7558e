// Visibility of the installation's platform symbols.
//
// The platform libraries are separate shared objects. The client creation
// library is built with hidden visibility, so every declaration it consumes
// from them is marked default-visible here to keep the references external.
#ifndef QZ_HOST_PLATFORM_EXPORT_H_
#define QZ_HOST_PLATFORM_EXPORT_H_

#define QZ_PLATFORM_API __attribute__((visibility("default")))

#endif  // QZ_HOST_PLATFORM_EXPORT_H_
