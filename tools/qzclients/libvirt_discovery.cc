#include "qzclients/libvirt_discovery.h"

#include <libvirt/libvirt.h>
#include <libvirt/virterror.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace qzclients {
namespace {

constexpr const char kTestScheme[] = "test://";

void IgnoreError(void* /*data*/, virErrorPtr /*error*/) {}

[[noreturn]] void Fail(const std::string& uri, const std::string& what) {
  const char* reason = virGetLastErrorMessage();
  throw DiscoveryError("libvirt connection " + uri + ": " + what +
                       (reason != nullptr ? std::string(": ") + reason : ""));
}

struct ConnectionCloser {
  void operator()(virConnectPtr connection) const {
    virConnectClose(connection);
  }
};
struct DomainFreer {
  void operator()(virDomainPtr domain) const { virDomainFree(domain); }
};
struct CFree {
  void operator()(void* memory) const { std::free(memory); }
};

using Connection = std::unique_ptr<virConnect, ConnectionCloser>;
using Domain = std::unique_ptr<virDomain, DomainFreer>;

// libvirt would read "test://dir/file.xml" as a remote host "dir"; a user
// means a file under the current folder.
std::string Resolved(const std::string& uri) {
  if (uri.rfind(kTestScheme, 0) != 0) return uri;
  const std::string path = uri.substr(sizeof kTestScheme - 1);
  if (path.empty() || path[0] == '/') return uri;
  std::unique_ptr<char, void (*)(void*)> here(getcwd(nullptr, 0), std::free);
  if (!here) return uri;
  return kTestScheme + std::string(here.get()) + "/" + path;
}

// The test driver reads a domain file by path; a missing one would make the
// XML library complain on stderr before libvirt reports it, so it is
// checked here first.
void CheckTestDriverFile(const std::string& uri) {
  if (uri.rfind(kTestScheme, 0) != 0) return;
  const std::string path = uri.substr(sizeof kTestScheme - 1);
  if (path == "/default") return;
  if (access(path.c_str(), R_OK) != 0) {
    throw DiscoveryError("libvirt connection " + uri +
                         ": the test driver's domain file " + path +
                         " cannot be read");
  }
}

VirtualMachine MachineOf(virDomainPtr domain, const std::string& uri) {
  VirtualMachine machine;
  const char* name = virDomainGetName(domain);
  char uuid[VIR_UUID_STRING_BUFLEN] = {};
  if (name == nullptr || virDomainGetUUIDString(domain, uuid) != 0) {
    Fail(uri, "a domain's name or UUID cannot be read");
  }
  machine.name = name;
  machine.guid = uuid;
  machine.hostName = name;
  machine.propertyText = uri;
  const unsigned int id = virDomainGetID(domain);
  machine.propertyNumber = id == static_cast<unsigned int>(-1) ? 0 : id;
  machine.osType = TMMsg::INSTALL_OS_UNIX;

  std::unique_ptr<char, CFree> osType(virDomainGetOSType(domain));
  qzmsg::Set(machine.operatingSystem, App::OperatingSystem::kOsFlavor,
             osType ? osType.get() : "");
  qzmsg::Set(machine.operatingSystem, App::OperatingSystem::kOsVersion, "Any");
  return machine;
}

}  // namespace

std::vector<VirtualMachine> DiscoverLibvirtDomains(
    const std::string& givenUri) {
  if (givenUri.empty()) throw DiscoveryError("the libvirt URI is empty");
  // libvirt's own log lines would reach the terminal beside our message,
  // which already carries libvirt's reason.
  setenv("LIBVIRT_LOG_OUTPUTS", "1:file:/dev/null", 0);
  virSetErrorFunc(nullptr, IgnoreError);
  const std::string uri = Resolved(givenUri);
  CheckTestDriverFile(uri);
  Connection connection(virConnectOpenReadOnly(uri.c_str()));
  if (!connection) Fail(uri, "cannot be opened");

  virDomainPtr* listed = nullptr;
  const int count = virConnectListAllDomains(connection.get(), &listed, 0);
  if (count < 0) Fail(uri, "its domains cannot be listed");
  std::vector<Domain> domains;
  domains.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) domains.emplace_back(listed[i]);
  std::free(listed);

  std::vector<VirtualMachine> machines;
  machines.reserve(domains.size());
  for (const Domain& domain : domains) {
    machines.push_back(MachineOf(domain.get(), uri));
  }
  std::sort(machines.begin(), machines.end(),
            [](const VirtualMachine& a, const VirtualMachine& b) {
              return std::tie(a.name, a.guid) < std::tie(b.name, b.guid);
            });
  return machines;
}

}  // namespace qzclients
