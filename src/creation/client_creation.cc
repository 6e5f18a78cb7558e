#include <map>
#include <string>
#include <utility>

#include "QZClientCreation.h"
#include "creation/request_parts.h"

QZClientCreation::QZClientCreation()
    : osType(TMMsg::INSTALL_OS_NONE),
      clientId(qzcc::kNoClientId),
      errorCode(0) {}

QZClientCreation::~QZClientCreation() = default;

bool QZClientCreation::Initialize(QZInstallManager::ClientSetup& setup) {
  request = setup;
  errorCode = 0;
  errorString = "";
  return true;
}

std::map<std::string, ClientData> QZClientCreation::getClients() const {
  return gClientMap;
}

unsigned long long QZClientCreation::getErrorCode() const { return errorCode; }

std::string QZClientCreation::getErrorString() const { return errorString; }

void QZClientCreation::setErrorCode(unsigned long long code) {
  errorCode = code;
}

void QZClientCreation::setErrorString(std::string text) {
  errorString = std::move(text);
}

bool QZClientCreation::preOperation() { return true; }

bool QZClientCreation::postOperation() { return true; }
