// Pre-declares clients on the simulated installation's embedded central
// server from a prepared setup request, then shows what happened: the
// outcome, the clients as the catalogue now holds them, and the log.
//
//   create_clients [NAME...]     (default: web01 "" db01; "" shows a failure)
#include <cstdio>
#include <string>
#include <vector>

#include "QZClientCreation.h"
#include "sim/qzsim.h"

namespace {

using qzmsg::Set;

// A request addressed to the central server, one composition per name.
QZInstallManager::ClientSetup PrepareRequest(
    const std::vector<std::string>& names) {
  QzEntities::ClientEntity server;
  Set(server, QzEntities::ClientEntity::kClientName, "qzcs01");
  Set(server, QzEntities::ClientEntity::kHostName, "qzcs01.example.com");
  QZInstallManager::RSClientInfo serverInfo;
  Set(serverInfo, QZInstallManager::RSClientInfo::kServerClient, server);

  std::vector<CNMessageBase> compositions;
  for (const std::string& name : names) {
    QzEntities::ClientEntity entity;
    Set(entity, QzEntities::ClientEntity::kClientName, name);
    Set(entity, QzEntities::ClientEntity::kHostName, name + ".example.com");
    App::Client client;
    Set(client, App::Client::kClientEntity, entity);
    App::ClientInfo info;
    Set(info, App::ClientInfo::kClient, client);
    QZInstallManager::ClientsComposition composition;
    Set(composition, QZInstallManager::ClientsComposition::kClientInfo, info);
    compositions.push_back(composition);
  }

  QZInstallManager::ClientSetup request;
  Set(request, QZInstallManager::ClientSetup::kServerClientInfo, serverInfo);
  Set(request, QZInstallManager::ClientSetup::kSetupKind, 0);
  Set(request, QZInstallManager::ClientSetup::kClientCompositions,
      compositions);
  return request;
}

const char* KindName(qzsim::LogLine::Kind kind) {
  switch (kind) {
    case qzsim::LogLine::Debug:
      return "Debug";
    case qzsim::LogLine::DebugLvl:
      return "DebugLvl";
    case qzsim::LogLine::Error:
      return "Error";
    case qzsim::LogLine::debugUntagged:
      return "debug";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> names(argv + 1, argv + argc);
  if (names.empty()) names = {"web01", "", "db01"};

  QZInstallManager::ClientSetup request = PrepareRequest(names);
  QZClientCreation creation;
  const bool prepared = creation.Initialize(request);
  const bool executed = prepared && creation.Execute();

  std::printf("Execute: %s\n", executed ? "true" : "false");
  std::printf("error code: %llu\n", creation.getErrorCode());
  std::printf("error string: %s\n\n", creation.getErrorString().c_str());

  std::printf("%-6s %-12s %-24s %-6s %s\n", "id", "name", "host name",
              "os id", "groups");
  for (const qzsim::ClientRecord& client : qzsim::clients()) {
    std::string groups;
    for (const std::string& group : client.groups) {
      groups += (groups.empty() ? "" : ",") + group;
    }
    std::printf("%-6lld %-12s %-24s %-6d %s\n", client.id,
                client.name.c_str(), client.hostName.c_str(), client.osId,
                groups.c_str());
  }

  std::printf("\nlog:\n");
  for (const qzsim::LogLine& line : qzsim::logLines()) {
    std::printf("  %s%s%s: %s\n", KindName(line.kind),
                line.tag.empty() ? "" : " ", line.tag.c_str(),
                line.text.c_str());
  }
  return executed ? 0 : 1;
}
