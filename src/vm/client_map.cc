#include <map>
#include <string>

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
