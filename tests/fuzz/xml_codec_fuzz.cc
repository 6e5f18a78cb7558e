// Feeds arbitrary bytes to the XML reader. Anything it accepts must write
// itself back and read back to the same document; anything else must fail
// with std::runtime_error, never crash or throw another kind of error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "sim/qzsim.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string written;
  try {
    written = qzsim::toXml(
        qzsim::fromXml(std::string(reinterpret_cast<const char*>(data), size)));
  } catch (const std::runtime_error&) {
    return 0;
  }
  if (qzsim::toXml(qzsim::fromXml(written)) != written) std::abort();
  return 0;
}
