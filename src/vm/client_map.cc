#include "vm/client_map.h"

#include <map>
#include <string>
#include <utility>

#include "QZClientCreation.h"

ClientData::ClientData()
    : clientId(0),
      clientNumber(0),
      extraNumber(0),
      propertyNumber(0),
      resultNumber(0) {}

ClientData::ClientData(const ClientData& other) = default;

ClientData& ClientData::operator=(const ClientData& other) = default;

ClientData::~ClientData() = default;

std::map<std::string, ClientData> gClientMap;
std::map<std::string, VirtualMachine> requestMap;
bool gIssueRequest = true;

namespace qzcc {

std::map<std::string, ClientData>::iterator FreshEntry(
    std::map<std::string, ClientData>& map, std::string key) {
  const std::size_t before = map.size();
  const auto entry = map.try_emplace(map.end(), std::move(key));
  if (map.size() == before) entry->second = ClientData();
  return entry;
}

}  // namespace qzcc
