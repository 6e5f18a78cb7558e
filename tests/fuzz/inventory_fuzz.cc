// Feeds arbitrary bytes to the JSON inventory reader, the first byte
// choosing how duplicate GUIDs are handled. It may refuse them only with
// inventory::Error; any other exception ends the run as a crash.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "inventory/inventory.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  inventory::Options options;
  options.lastWins = (data[0] & 1) != 0;
  std::istringstream in(
      std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  std::vector<std::string> warnings;
  try {
    inventory::Read(in, "fuzz", options, &warnings);
  } catch (const inventory::Error&) {
  }
  return 0;
}
