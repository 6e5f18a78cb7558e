#include "host/ev_debug.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

#include "sim/installation.h"

namespace {

constexpr std::size_t kBufferBytes = 256;

// Formats in full, however long: a log line is never cut. Most lines fit
// `buffer` and are formatted once, with no allocation; a longer one is
// formatted again, at its measured length, into `longer`.
std::string_view Format(char* buffer, std::string& longer, const char* format,
                        va_list args) {
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(buffer, kBufferBytes, format, args);
  std::string_view text;
  if (length > 0 && static_cast<std::size_t>(length) < kBufferBytes) {
    text = std::string_view(buffer, static_cast<std::size_t>(length));
  } else if (length > 0) {
    longer.resize(static_cast<std::size_t>(length));
    std::vsnprintf(longer.data(), longer.size() + 1, format, again);
    text = longer;
  }
  va_end(again);
  return text;
}

void Write(qzsim::LogLine::Kind kind, const char* tag, int level,
           const char* format, va_list args) {
  char buffer[kBufferBytes];
  std::string longer;
  qzsim::internal::Log(kind, tag == nullptr ? "" : tag, level,
                       Format(buffer, longer, format, args));
}

}  // namespace

EvDebug::EvDebug(EvDebugFileInstance* file) : file_(file) {}

void EvDebug::Debug(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(qzsim::LogLine::Debug, tag, 0, format, args);
  va_end(args);
}

void EvDebug::DebugLvl(const char* tag, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(qzsim::LogLine::DebugLvl, tag, level, format, args);
  va_end(args);
}

void EvDebug::Error(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(qzsim::LogLine::Error, tag, 0, format, args);
  va_end(args);
}

void EvDebug::debug(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(qzsim::LogLine::debugUntagged, nullptr, 0, format, args);
  va_end(args);
}
