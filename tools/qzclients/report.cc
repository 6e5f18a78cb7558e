#include "qzclients/report.h"

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "display/quoted.h"
#include "display/table.h"

namespace qzclients {
namespace {

using display::Quoted;
using Json = nlohmann::ordered_json;

// Names and hosts beyond this many columns are cut in tables.
constexpr std::size_t kNameColumns = 40;

constexpr int kUnixOsId = 20;
constexpr int kWindowsOsId = 21;

const char* StatusName(ClientStatus status) {
  switch (status) {
    case ClientStatus::kCreated:
      return "created";
    case ClientStatus::kAlreadyKnown:
      return "known";
    case ClientStatus::kNotFinished:
      return "not finished";
    case ClientStatus::kFailed:
      break;
  }
  return "failed";
}

std::string OsText(int osId) {
  const std::string name = OsName(osId);
  return name == "other" ? name + " (" + std::to_string(osId) + ")" : name;
}

Json OsJson(int osId) { return {{"id", osId}, {"name", OsName(osId)}}; }

Json ClientJson(const ClientOutcome& outcome, bool byMachine) {
  const auto& record = outcome.record;
  Json client;
  if (byMachine) client["machine"] = outcome.key;
  client["name"] = outcome.name;
  client["status"] = StatusName(outcome.status);
  client["id"] = outcome.clientId != 0 ? Json(outcome.clientId) : Json();
  client["host"] = record ? Json(record->hostName) : Json();
  client["os"] = record ? OsJson(record->osId) : Json();
  client["groups"] = record ? Json(record->groups) : Json::array();
  client["agentless"] = record ? Json(record->agentless) : Json();
  client["error"] =
      IsDone(outcome)
          ? Json()
          : Json{{"code",
                  outcome.errorCode != 0 ? Json(outcome.errorCode) : Json()},
                 {"text", outcome.reason}};
  return client;
}

Json RecordJson(const qzsim::ClientRecord& record) {
  return {{"id", record.id},
          {"name", record.name},
          {"host", record.hostName},
          {"os", OsJson(record.osId)},
          {"agentless", record.agentless},
          {"groups", record.groups},
          {"deleted", record.deleted}};
}

std::string ListTable(const std::vector<qzsim::ClientRecord>& clients) {
  display::Table table({{"id"},
                        {"name", kNameColumns},
                        {"host name", kNameColumns},
                        {"os"},
                        {"agentless"},
                        {"groups"}});
  for (const qzsim::ClientRecord& client : clients) {
    std::string groups;
    for (const std::string& group : client.groups) {
      groups += (groups.empty() ? "" : ",") + Quoted(group);
    }
    table.Add({std::to_string(client.id), Quoted(client.name),
               Quoted(client.hostName), OsText(client.osId),
               client.agentless ? "yes" : "no",
               groups + (client.deleted ? " (deleted)" : "")});
  }
  return table.Render();
}

std::string ClientsTable(const Result& result) {
  std::vector<display::Table::Column> columns;
  if (result.byMachine) {
    columns.push_back({"GUID or alternate id", kNameColumns});
  }
  columns.push_back({"client", kNameColumns});
  columns.push_back({"result"});
  display::Table table(columns);
  for (const ClientOutcome& outcome : result.clients) {
    std::vector<std::string> cells;
    if (result.byMachine) cells.push_back(Quoted(outcome.key));
    cells.push_back(Quoted(outcome.name));
    cells.push_back(Describe(outcome, result.byMachine ? "" : "client id "));
    table.Add(cells);
  }
  return table.Render();
}

}  // namespace

const char* OsName(int osId) {
  switch (osId) {
    case kUnixOsId:
      return "Unix";
    case kWindowsOsId:
      return "Windows";
    case qzsim::kPreDeclaredOsId:
      return "pre-declared";
    default:
      return "other";
  }
}

std::string TextOf(const Result& result, const std::string& command) {
  if (!result.request.empty()) return result.request;
  if (result.exitCode != kExitOk && result.exitCode != kExitSomeClientsFailed) {
    return "";
  }
  if (command == "list") return ListTable(result.catalogue);
  return result.clients.empty() ? "" : ClientsTable(result);
}

std::string JsonOf(const Result& result, const std::string& command) {
  Json document;
  document["command"] = command;
  document["exitCode"] = result.exitCode;
  document["error"] =
      result.error.empty()
          ? Json()
          : Json{{"code",
                  result.errorCode != 0 ? Json(result.errorCode) : Json()},
                 {"text", result.error},
                 {"log", result.log}};
  document["notes"] = result.notes;
  if (!result.request.empty()) {
    document["request"] = result.request;
  } else if (command == "list") {
    Json& clients = document["clients"] = Json::array();
    for (const auto& record : result.catalogue) {
      clients.push_back(RecordJson(record));
    }
  } else {
    Json clients = Json::array();
    std::map<ClientStatus, int> counts;
    for (const ClientOutcome& outcome : result.clients) {
      ++counts[outcome.status];
      clients.push_back(ClientJson(outcome, result.byMachine));
    }
    document["summary"] = {{"created", counts[ClientStatus::kCreated]},
                           {"known", counts[ClientStatus::kAlreadyKnown]},
                           {"failed", counts[ClientStatus::kFailed]},
                           {"notFinished", counts[ClientStatus::kNotFinished]}};
    document["clients"] = clients;
  }
  return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace qzclients
