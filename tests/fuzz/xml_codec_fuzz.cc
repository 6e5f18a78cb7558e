// Feeds arbitrary bytes to the XML reader. Anything it accepts must write
// itself back and read back to the same document; anything else must fail
// with std::runtime_error, never crash or throw another kind of error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "facility/message_facility.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string xml(reinterpret_cast<const char*>(data), size);
  std::string written;
  try {
    written = CNMessageFacility::ToXml(CNMessageFacility::FromXml(xml));
  } catch (const std::runtime_error&) {
    return 0;
  }
  if (CNMessageFacility::ToXml(CNMessageFacility::FromXml(written)) !=
      written) {
    std::abort();
  }
  return 0;
}
