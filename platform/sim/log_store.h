// The lines the stand-in logger has written, kept for qzsim::logLines.
//
// A discovery run writes a line per machine, so a million-machine run keeps
// a million lines: they are stored packed (the text in large shared chunks,
// the few distinct tags once each) and turned into LogLine values only when
// asked for. Appending costs no allocation of its own most of the time.
//
// Not thread-safe: the installation calls it under its lock.
#ifndef QZ_PLATFORM_SIM_LOG_STORE_H_
#define QZ_PLATFORM_SIM_LOG_STORE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/qzsim.h"

namespace qzsim::internal {

class LogStore {
 public:
  // Throws std::bad_alloc, keeping the lines stored before.
  void Append(LogLine::Kind kind, std::string_view tag, int level,
              std::string_view text);
  std::vector<LogLine> Lines() const;
  void Clear();

 private:
  // A line's text follows the one before it in the same chunk, or opens the
  // next chunk, so an entry need not point at it.
  struct Entry {
    std::uint32_t length;  // a formatted line's length fits an int
    int level;
    std::uint32_t tag;  // into tags_
    std::uint8_t kind;
    bool opensChunk;
  };

  std::uint32_t TagIndex(std::string_view tag);
  // Copies the text after the last one kept, into a new chunk when
  // `opensChunk`.
  void Keep(std::string_view text, bool opensChunk);

  std::deque<Entry> entries_;
  // Each distinct tag once, found by text; tags_ lists them by index.
  std::map<std::string, std::uint32_t, std::less<>> tagIndex_;
  std::vector<const std::string*> tags_;
  std::vector<std::unique_ptr<char[]>> chunks_;
  std::size_t chunkLeft_ = 0;
  char* chunkNext_ = nullptr;
};

}  // namespace qzsim::internal

#endif  // QZ_PLATFORM_SIM_LOG_STORE_H_
