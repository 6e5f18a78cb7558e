// Creates one client through the installed library and its stand-ins, and
// reads it back through the simulated installation's controls.
#include <cstdio>
#include <string>

#include "QZClientCreation.h"
#include "sim/qzsim.h"

int main() {
  QZClientCreation creation;
  if (!creation.Initialize(std::string("consumer01"))) return 1;
  const bool executed = creation.Execute();
  const auto stored = qzsim::findClientByName("consumer01");
  std::printf("Execute %s, error code %llu, catalogue id %lld\n",
              executed ? "true" : "false", creation.getErrorCode(),
              stored ? stored->id : 0LL);
  return executed && creation.getErrorCode() == 0 && stored ? 0 : 1;
}
