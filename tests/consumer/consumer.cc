// Creates one client through the installed library and its stand-ins.
#include <cstdio>
#include <string>

#include "QZClientCreation.h"

int main() {
  QZClientCreation creation;
  if (!creation.Initialize(std::string("consumer01"))) return 1;
  const bool executed = creation.Execute();
  std::printf("Execute %s, error code %llu\n", executed ? "true" : "false",
              creation.getErrorCode());
  return executed && creation.getErrorCode() == 0 ? 0 : 1;
}
