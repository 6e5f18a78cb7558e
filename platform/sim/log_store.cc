#include "sim/log_store.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace qzsim::internal {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

}  // namespace

void LogStore::Append(LogLine::Kind kind, std::string_view tag, int level,
                      std::string_view text) {
  const std::uint16_t tagIndex = TagIndex(tag);
  const char* kept = Keep(text);
  entries_.push_back(
      {kept, text.size(), level, tagIndex, static_cast<std::uint8_t>(kind)});
}

std::vector<LogLine> LogStore::Lines() const {
  std::vector<LogLine> lines;
  lines.reserve(entries_.size());
  for (const Entry& entry : entries_) {
    lines.push_back({static_cast<LogLine::Kind>(entry.kind), tags_[entry.tag],
                     entry.level, std::string(entry.text, entry.length)});
  }
  return lines;
}

void LogStore::Clear() {
  entries_.clear();
  tags_.clear();
  chunks_.clear();
  chunkLeft_ = 0;
  chunkNext_ = nullptr;
}

std::uint16_t LogStore::TagIndex(std::string_view tag) {
  // The library writes a handful of tags; the latest is the likeliest.
  for (std::size_t i = tags_.size(); i-- > 0;) {
    if (tags_[i] == tag) return static_cast<std::uint16_t>(i);
  }
  if (tags_.size() > std::numeric_limits<std::uint16_t>::max()) {
    throw std::length_error("qzsim log: too many distinct tags");
  }
  tags_.emplace_back(tag);
  return static_cast<std::uint16_t>(tags_.size() - 1);
}

const char* LogStore::Keep(std::string_view text) {
  static const char kNothing = '\0';
  if (text.empty()) return &kNothing;
  if (text.size() > chunkLeft_) {
    // A text longer than a chunk gets a chunk of its own.
    const std::size_t bytes = std::max(kChunkBytes, text.size());
    // Not zeroed: a chunk's pages are touched only as lines fill them.
    chunks_.emplace_back(new char[bytes]);
    chunkNext_ = chunks_.back().get();
    chunkLeft_ = bytes;
  }
  char* kept = chunkNext_;
  std::memcpy(kept, text.data(), text.size());
  chunkNext_ += text.size();
  chunkLeft_ -= text.size();
  return kept;
}

}  // namespace qzsim::internal
