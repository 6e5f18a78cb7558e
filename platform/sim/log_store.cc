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
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("qzsim log: line too long to keep");
  }
  const std::uint32_t tagIndex = TagIndex(tag);
  const bool opensChunk = text.size() > chunkLeft_;
  entries_.push_back({static_cast<std::uint32_t>(text.size()), level, tagIndex,
                      static_cast<std::uint8_t>(kind), opensChunk});
  try {
    Keep(text, opensChunk);
  } catch (...) {
    entries_.pop_back();  // the texts kept still line up with the entries
    throw;
  }
}

std::vector<LogLine> LogStore::Lines() const {
  std::vector<LogLine> lines;
  lines.reserve(entries_.size());
  std::size_t chunk = 0;
  const char* text = nullptr;
  for (const Entry& entry : entries_) {
    if (entry.opensChunk) text = chunks_[chunk++].get();
    lines.push_back({static_cast<LogLine::Kind>(entry.kind), *tags_[entry.tag],
                     entry.level, std::string()});
    if (entry.length == 0) continue;
    lines.back().text.assign(text, entry.length);
    text += entry.length;
  }
  return lines;
}

void LogStore::Clear() {
  entries_.clear();
  tags_.clear();
  tagIndex_.clear();
  chunks_.clear();
  chunkLeft_ = 0;
  chunkNext_ = nullptr;
}

std::uint32_t LogStore::TagIndex(std::string_view tag) {
  const auto found = tagIndex_.find(tag);
  if (found != tagIndex_.end()) return found->second;
  const auto added =
      tagIndex_
          .emplace(std::string(tag), static_cast<std::uint32_t>(tags_.size()))
          .first;
  try {
    tags_.push_back(&added->first);
  } catch (...) {
    tagIndex_.erase(added);  // nothing half-added
    throw;
  }
  return added->second;
}

void LogStore::Keep(std::string_view text, bool opensChunk) {
  if (opensChunk) {
    // A text longer than a chunk gets a chunk of its own.
    const std::size_t bytes = std::max(kChunkBytes, text.size());
    // Not zeroed: a chunk's pages are touched only as lines fill them.
    chunks_.emplace_back(new char[bytes]);
    chunkNext_ = chunks_.back().get();
    chunkLeft_ = bytes;
  }
  if (text.empty()) return;
  std::memcpy(chunkNext_, text.data(), text.size());
  chunkNext_ += text.size();
  chunkLeft_ -= text.size();
}

}  // namespace qzsim::internal
