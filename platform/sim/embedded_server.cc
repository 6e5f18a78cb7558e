#include "sim/embedded_server.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "facility/message_facility.h"
#include "messages/records.h"

namespace qzsim {
namespace {

using QzEntities::ClientEntity;
using QzEntities::ClientGroupEntity;
using QZInstallManager::ClientsComposition;
using QZInstallManager::ClientSetup;
using QZInstallManager::RSClientInfo;
using QZInstallManager::SIMError;
using qzmsg::Get;
using qzmsg::Set;

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) {
  auto lower = [](unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
  };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
           return lower(static_cast<unsigned char>(x)) ==
                  lower(static_cast<unsigned char>(y));
         });
}

SIMError MakeError(long long code, const std::string& text) {
  SIMError error;
  Set(error, SIMError::kErrorCode, code);
  Set(error, SIMError::kErrorString, text);
  return error;
}

void ServeComposition(Catalogue& catalogue, CNMessageBase& composition) {
  CNMessageBase& info = Get(composition, ClientsComposition::kClientInfo);
  CNMessageBase& entity =
      Get(Get(info, App::ClientInfo::kClient), App::Client::kClientEntity);
  const std::string name = Get(entity, ClientEntity::kClientName);
  if (name.empty()) {
    Set(composition, ClientsComposition::kClientError,
        MakeError(kEmptyClientNameError, "Client name is empty"));
    return;
  }

  std::optional<ClientRecord> existing = catalogue.FindLiveClientByName(name);
  ClientRecord client = existing.value_or(ClientRecord{});
  if (!existing) client.name = name;
  const std::string hostName = Get(entity, ClientEntity::kHostName);
  if (!hostName.empty()) client.hostName = hostName;
  for (CNMessageBase& group : Get(info, App::ClientInfo::kClientGroups)) {
    std::string groupName = Get(group, ClientGroupEntity::kClientGroupName);
    if (std::find(client.groups.begin(), client.groups.end(), groupName) ==
        client.groups.end()) {
      client.groups.push_back(std::move(groupName));
    }
  }
  if (existing) {
    catalogue.UpdateClient(client);
  } else {
    try {
      client.id = catalogue.AddClient(client);
    } catch (const ClientIdsExhausted& e) {
      Set(composition, ClientsComposition::kClientError,
          MakeError(kClientIdsExhaustedError,
                    std::string("No client id is free: ") + e.what()));
      return;
    }
  }
  Set(entity, ClientEntity::kClientId, client.id);
}

// A record as the other side sees it after crossing the wire as XML: the
// writer's pieces (`write` hands them to its sink) go straight into the
// reader, so the document is never held whole. Throws when the record
// cannot cross or comes out of another class.
template <typename Write>
void Cross(Write write, ClientSetup& into) {
  CNMessageFacility::XmlReader reader;
  write([&reader](std::string_view piece) { reader.Feed(piece); });
  const CNMessageBase received = reader.Finish();
  if (received.group() != ClientSetup::kGroup ||
      received.type() != ClientSetup::kType) {
    throw std::runtime_error("the document holds no setup record");
  }
  static_cast<CNMessageBase&>(into) = received;
}

void Cross(const ClientSetup& record, ClientSetup& into) {
  Cross(
      [&record](const CNMessageFacility::XmlSink& sink) {
        CNMessageFacility::WriteXml(record, sink);
      },
      into);
}

// The same for a record not needed afterwards: each composition is let go
// once written, so the copy is built in the memory the original frees.
void CrossReleasing(ClientSetup& record, ClientSetup& into) {
  Cross(
      [&record](const CNMessageFacility::XmlSink& sink) {
        CNMessageFacility::WriteXmlReleasing(record, sink);
      },
      into);
}

// The whole request refused: nothing of it reached the catalogue, and the
// answer is the request as it came, with the error.
void Refuse(const ClientSetup& sent, const CatalogueError& fault,
            ClientSetup& response) {
  const FaultKind kind = KindOf(fault.code());
  std::string text =
      std::string("Client catalogue ") + kind.name + ": " + fault.reason();
  if (kind.setupErrorCode == kCatalogueBusyError) text += "; try again";
  Cross(sent, response);
  Set(response, ClientSetup::kSetupError, MakeError(kind.setupErrorCode, text));
}

// Answers the request the server received in place: it is the server's own
// copy, so filling it in copies nothing. `sent` is the request as the
// client sent it, for a refusal.
int Serve(Catalogue& catalogue, const ServerIdentity& server,
          const ClientSetup& sent, ClientSetup& response, std::string& fault) {
  const std::string addressedTo =
      Get(Get(Get(response, ClientSetup::kServerClientInfo),
              RSClientInfo::kServerClient),
          ClientEntity::kClientName);
  if (!EqualIgnoringAsciiCase(addressedTo, server.clientName)) {
    Set(response, ClientSetup::kSetupError,
        MakeError(kForeignServerError,
                  "Request addressed to central server [" + addressedTo +
                      "], this central server is [" + server.clientName + "]"));
    return 0;
  }
  const long long setupKind = Get(response, ClientSetup::kSetupKind);
  if (setupKind != 0 && setupKind != 20 && setupKind != 34) {
    Set(response, ClientSetup::kSetupError,
        MakeError(kUnknownSetupKindError,
                  "Unknown setup kind [" + std::to_string(setupKind) + "]"));
    return 0;
  }

  try {
    catalogue.Atomically([&](Catalogue& writing) {
      for (CNMessageBase& composition :
           Get(response, ClientSetup::kClientCompositions)) {
        ServeComposition(writing, composition);
      }
    });
  } catch (const CatalogueError& e) {
    fault = e.what();
    Refuse(sent, e, response);
  }
  return 0;
}

}  // namespace

int ServeClientSetup(Catalogue& catalogue, const ServerIdentity& server,
                     const ClientSetup& request, ClientSetup& response,
                     std::string& fault) {
  ClientSetup received;
  try {
    Cross(request, received);
  } catch (const std::exception& e) {
    response = ClientSetup();
    Set(response, ClientSetup::kSetupError,
        MakeError(kMalformedRequestError,
                  std::string("Malformed request: ") + e.what()));
    return 0;
  }
  const int status = Serve(catalogue, server, request, received, fault);
  CrossReleasing(received, response);
  return status;
}

}  // namespace qzsim
