// Forward declarations of the setup records, which refer to one another
// across their three namespaces.
#ifndef QZ_MESSAGES_RECORDS_FWD_H_
#define QZ_MESSAGES_RECORDS_FWD_H_

namespace QZInstallManager {
class ClientSetup;
class ClientsComposition;
class RSClientInfo;
class Components;
class PackageInformation;
class AddOnComponents;
class InstallerFlags;
class SIMError;
}  // namespace QZInstallManager

namespace QzEntities {
class ClientEntity;
class UserEntity;
class ClientGroupEntity;
class BeaconReleaseEnity;
}  // namespace QzEntities

namespace App {
class OSDisplayInfo;
class OperatingSystem;
class FilePath;
class VersionInfo;
class Client;
class ClientInfo;
class ClientProps;
class AttributeInfo;
}  // namespace App

#endif  // QZ_MESSAGES_RECORDS_FWD_H_
