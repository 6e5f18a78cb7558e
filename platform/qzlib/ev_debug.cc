#include "host/ev_debug.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "sim/installation.h"

namespace {

// Formats in full, however long: a log line is never cut. Most lines fit
// the buffer and are formatted once; a longer one is formatted again at its
// measured length.
std::string Format(const char* format, va_list args) {
  char buffer[256];
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  std::string text;
  if (length > 0 && static_cast<std::size_t>(length) < sizeof buffer) {
    text.assign(buffer, static_cast<std::size_t>(length));
  } else if (length > 0) {
    text.resize(static_cast<std::size_t>(length));
    std::vsnprintf(text.data(), text.size() + 1, format, again);
  }
  va_end(again);
  return text;
}

void Write(qzsim::LogLine::Kind kind, const char* tag, int level,
           const char* format, va_list args) {
  qzsim::internal::Log(
      {kind, tag == nullptr ? "" : tag, level, Format(format, args)});
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
