#include "host/ev_debug.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "sim/installation.h"

namespace {

constexpr std::size_t kBufferBytes = 256;

// Copies `size` bytes to `out`, if they fit before `end`.
char* Put(char* out, const char* end, const char* bytes, std::size_t size) {
  if (size > static_cast<std::size_t>(end - out)) return nullptr;
  std::memcpy(out, bytes, size);
  return out + size;
}

// Writes `value` in decimal at `out`, if it fits before `end`.
template <class Unsigned>
char* PutDecimal(char* out, const char* end, Unsigned value, bool negative) {
  char digits[24];
  char* first = digits + sizeof digits;
  do {
    *--first = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (negative) *--first = '-';
  return Put(out, end, first,
             static_cast<std::size_t>(digits + sizeof digits - first));
}

template <class Signed>
char* PutSigned(char* out, const char* end, Signed value) {
  using Unsigned = std::make_unsigned_t<Signed>;
  const bool negative = value < 0;
  // Negated as unsigned: the most negative value has no signed opposite.
  const Unsigned magnitude = negative
                                 ? Unsigned(0) - static_cast<Unsigned>(value)
                                 : static_cast<Unsigned>(value);
  return PutDecimal(out, end, magnitude, negative);
}

// The formats the installation's log lines use, written without the general
// formatter: text and %s, %d, %u, %ld, %lu, %lld, %llu and %%. One line per
// created machine is logged, so this is on the path of a million-machine
// run. Reads `args` as it goes; null for anything else (flags, widths, a
// null text) or a line longer than the buffer, which the general formatter
// then writes from a fresh copy of the arguments.
const char* FormatPlain(char* buffer, const char* format, va_list args,
                        std::size_t& length) {
  char* out = buffer;
  const char* const end = buffer + kBufferBytes - 1;
  const char* at = format;
  while (out != nullptr && *at != '\0') {
    if (*at != '%') {
      const char* percent = std::strchr(at, '%');
      const std::size_t size = percent != nullptr
                                   ? static_cast<std::size_t>(percent - at)
                                   : std::strlen(at);
      out = Put(out, end, at, size);
      at += size;
      continue;
    }
    int longs = 0;
    const char* spec = at + 1;
    while (*spec == 'l' && longs < 2) {
      ++longs;
      ++spec;
    }
    const char conversion = *spec;
    if (conversion == '%' && longs == 0) {
      out = Put(out, end, "%", 1);
    } else if (conversion == 's' && longs == 0) {
      const char* text = va_arg(args, const char*);
      out = text == nullptr ? nullptr : Put(out, end, text, std::strlen(text));
    } else if (conversion == 'd') {
      out = longs == 0   ? PutSigned(out, end, va_arg(args, int))
            : longs == 1 ? PutSigned(out, end, va_arg(args, long))
                         : PutSigned(out, end, va_arg(args, long long));
    } else if (conversion == 'u') {
      out = longs == 0 ? PutDecimal(out, end, va_arg(args, unsigned), false)
            : longs == 1
                ? PutDecimal(out, end, va_arg(args, unsigned long), false)
                : PutDecimal(out, end, va_arg(args, unsigned long long), false);
    } else {
      out = nullptr;
    }
    at = spec + 1;
  }
  if (out == nullptr) return nullptr;
  length = static_cast<std::size_t>(out - buffer);
  return buffer;
}

// Formats in full, however long: a log line is never cut. Most lines fit
// `buffer` and are formatted once, with no allocation; a longer one is
// formatted again, at its measured length, into `longer`.
std::string_view Format(char* buffer, std::string& longer, const char* format,
                        va_list args) {
  std::size_t plain = 0;
  va_list plainArgs;
  va_copy(plainArgs, args);
  const char* written = FormatPlain(buffer, format, plainArgs, plain);
  va_end(plainArgs);
  if (written != nullptr) return std::string_view(buffer, plain);
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
