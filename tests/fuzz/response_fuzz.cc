// Answers every creation class, and GetVMToClientMap, with responses of any
// shape a broken install service could send: levels left out, huge lists,
// ids at the edges of 32 and 64 bits, setup and client errors, no response,
// a failure status. The tree is decoded from the input through the typed
// setters, so every record is of the class its place expects and a
// std::logic_error from the facility would be a real bug.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "sim/qzsim.h"

namespace {

using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;
using QZInstallManager::SIMError;
using qzmsg::Set;

constexpr std::size_t kMaxText = 48;
constexpr std::size_t kMaxListed = 6;
// Copies of one element share their nodes, so a list this long stays cheap.
constexpr std::size_t kHugeList = 1 << 12;

// The catalogue holds pre-declared clients under these ids, so that the
// clients' records get adjusted.
constexpr long long kSeededIds[] = {1, INT_MAX};
constexpr long long kEdges[] = {
    0,        1,         -1,       116, INT_MAX, INT_MIN, INT_MAX + 1LL,
    UINT_MAX, LLONG_MAX, LLONG_MIN};

class Decoder {
 public:
  Decoder(const std::uint8_t* data, std::size_t size) : in_(data, size) {}

  bool Bit() { return in_.ConsumeBool(); }
  long long Number() {
    return Bit() ? in_.PickValueInArray(kEdges)
                 : in_.ConsumeIntegral<long long>();
  }
  int Small(int most) { return in_.ConsumeIntegralInRange(0, most); }

  // Each field is there or not by one bit, so that every level goes missing.
  template <class Owner>
  void Maybe(CNMessageBase& record, qzmsg::Int64Field<Owner> field) {
    if (Bit()) Set(record, field, Number());
  }
  template <class Owner>
  void Maybe(CNMessageBase& record, qzmsg::TextField<Owner> field) {
    if (Bit()) Set(record, field, in_.ConsumeRandomLengthString(kMaxText));
  }
  template <class Owner, class Child>
  void Maybe(CNMessageBase& record, qzmsg::RecordField<Owner, Child> field) {
    if (Bit()) Set(record, field, Decode<Child>());
  }
  template <class Owner, class Element>
  void Maybe(CNMessageBase& record, qzmsg::ListField<Owner, Element> field) {
    if (!Bit()) return;
    std::vector<CNMessageBase> list;
    for (int i = Small(kMaxListed); i > 0; --i)
      list.push_back(Decode<Element>());
    if (!list.empty() && Bit()) list.resize(kHugeList, list.back());
    Set(record, field, list);
  }

  template <class R>
  R Decode();

 private:
  template <class R, class... Fields>
  R Fill(Fields... fields) {
    R record;
    (Maybe(record, fields), ...);
    return record;
  }

  FuzzedDataProvider in_;
};

// What the library reads of a response, and a field it does not expect.
template <>
SIMError Decoder::Decode() {
  return Fill<SIMError>(SIMError::kErrorCode, SIMError::kErrorString);
}
template <>
QzEntities::ClientEntity Decoder::Decode() {
  using QzEntities::ClientEntity;
  return Fill<ClientEntity>(ClientEntity::kClientId, ClientEntity::kClientName);
}
template <>
App::Client Decoder::Decode() {
  return Fill<App::Client>(App::Client::kClientEntity, App::Client::kNumber16);
}
template <>
App::ClientProps Decoder::Decode() {
  using App::ClientProps;
  return Fill<ClientProps>(ClientProps::kText295, ClientProps::kVmGuid,
                           ClientProps::kNumber299);
}
template <>
App::ClientInfo Decoder::Decode() {
  return Fill<App::ClientInfo>(App::ClientInfo::kClient,
                               App::ClientInfo::kClientProps);
}
template <>
ClientsComposition Decoder::Decode() {
  return Fill<ClientsComposition>(ClientsComposition::kClientInfo,
                                  ClientsComposition::kClientError);
}
template <>
ClientSetup Decoder::Decode() {
  return Fill<ClientSetup>(ClientSetup::kSetupKind, ClientSetup::kSetupError,
                           ClientSetup::kClientCompositions);
}

// Execute on the scripted answer, then both hooks on the answer as it came,
// whatever Execute made of it.
template <class Creation, class Prepare>
bool Exercise(Prepare prepare, const std::optional<ClientSetup>& reply) {
  struct Probe : Creation {
    using Creation::response;
  } creation;
  const bool executed = prepare(creation) && creation.Execute();
  creation.response = reply.value_or(ClientSetup());
  creation.preOperation();
  creation.postOperation();
  return executed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  qzsim::reset();
  for (long long id : kSeededIds) {
    qzsim::ClientRecord client;
    client.id = id;
    client.name = "seeded" + std::to_string(id);
    qzsim::addClient(client);
  }
  Decoder in(data, size);
  const int status = in.Bit() ? 0 : static_cast<int>(in.Number());
  std::optional<ClientSetup> reply;
  if (in.Bit()) reply = in.Decode<ClientSetup>();
  qzsim::setInstallHandler(
      [&](const ClientSetup&, std::optional<ClientSetup>& out) {
        out = reply;
        return status;
      });

  const auto family = static_cast<TMMsg::InstallOSType>(in.Small(4));
  const std::vector<std::string> names = {"web01", "web02"};
  std::vector<VirtualMachine> machines(2);
  machines[0] = {"vm one", "vm1", "", "guid-1", {}, 0, "", 0};
  machines[1] = {"vm:two", "vm2", "", "guid-2", {}, 1, "alt-2", 0};
  std::vector<QZInstallManager::AddOnComponents> addOns;
  bool executed = false;
  switch (in.Small(6)) {
    case 0:
      executed = Exercise<QZClientCreation>(
          [&](auto& c) { return c.Initialize(names[0], family, addOns, true); },
          reply);
      break;
    case 1:
      executed = Exercise<QZClientCreation>(
          [&](auto& c) { return c.Initialize(names, family, addOns); }, reply);
      break;
    case 2:
      executed = Exercise<AgentLessClientCreation>(
          [&](auto& c) { return c.Initialize(names[0], "group", family); },
          reply);
      break;
    case 3:
      executed = Exercise<AgentLessClientCreation>(
          [&](auto& c) { return c.Initialize(names, "", family); }, reply);
      break;
    case 4:
      executed = Exercise<VirtualDiscoveredClientCreation>(
          [&](auto& c) { return c.Initialize(machines, "group", true, 1, 2); },
          reply);
      break;
    case 5:
      executed = Exercise<VirtualDiscoveredClientCreation>(
          [&](auto& c) { return c.Initialize(names, family, false); }, reply);
      break;
    default: {
      // On failure the caller's map stays as it was.
      std::map<std::string, ClientData> map = {{"kept", ClientData()}};
      executed = GetVMToClientMap(machines, map);
      if (!executed && (map.size() != 1 || map.count("kept") != 1)) {
        std::abort();
      }
    }
  }
  // No response, or a failure status, can never be success.
  if (executed && (!reply || status != 0)) std::abort();
  return 0;
}
