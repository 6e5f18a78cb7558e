#include "host/ev_debug.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "sim/installation.h"

namespace {

// Formats in full, however long: a log line is never cut.
std::string Format(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length <= 0) return std::string();
  std::string text(static_cast<std::size_t>(length), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
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
