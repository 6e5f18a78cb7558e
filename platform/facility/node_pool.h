// Memory for record nodes.
//
// Nodes are small, numerous and made and dropped in bursts (a request of a
// million machines makes some five million of them), so each thread cuts
// them from a 64 KiB block in the order they are asked for, and a block is
// used again once every piece cut from it has been freed. A piece kept long
// keeps its block; blocks are kept for later nodes rather than returned to
// the system. Blocks come from 2 MiB mappings that the system is asked to
// back with large pages. Pieces over 1 KiB are ordinary heap allocations. Under
// AddressSanitizer every node is an ordinary heap allocation, so that the
// sanitizer sees each node's lifetime.
//
// Thread-safe: any thread may free what another allocated.
#ifndef QZ_PLATFORM_FACILITY_NODE_POOL_H_
#define QZ_PLATFORM_FACILITY_NODE_POOL_H_

#include <cstddef>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define QZ_NODE_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QZ_NODE_POOL 0
#endif
#endif
#ifndef QZ_NODE_POOL
#define QZ_NODE_POOL 1
#endif

// The facility's own: called within its library, never through its PLT.
#define QZ_FACILITY_LOCAL [[gnu::visibility("hidden")]]

namespace qzfacility {

// Nodes come from one stream of blocks, and the pieces their slots own (a
// long text, a list's vector) from another, so that a node being built
// stays the last piece of its stream and can grow in place.
enum class Stream { kNodes, kOwned };

// Nodes are cut on every record write, so the cutting is inline; the rest
// of the pool is in node_pool.cc.
namespace pool {

constexpr std::size_t kGranule = 8;       // nodes hold nothing aligned beyond
constexpr std::size_t kMaxPooled = 1024;  // larger pieces go to the heap

inline std::size_t Rounded(std::size_t bytes) {
  return (bytes + kGranule - 1) / kGranule * kGranule;
}

inline bool Pooled(std::size_t bytes) {
  return QZ_NODE_POOL && bytes != 0 && bytes <= kMaxPooled;
}

struct Block;

// Cuts pieces from one block at a time, in the order they are asked for, so
// that the nodes of one record tree (a composition and its parts) sit side
// by side and a walk over a million of them streams through memory instead
// of jumping between size classes.
//
// Plain data, so that a thread-local carver needs no construction guard and
// costs one addressing per piece.
struct Carver {
  Block* block;
  char* next;
  char* end;
  std::size_t carved;

  void* Cut(std::size_t size) {
    void* memory = next;
    next += size;
    ++carved;
    return memory;
  }

  bool Fits(std::size_t size) const {
    return static_cast<std::size_t>(end - next) >= size;
  }

  // Starts carving from a fresh block.
  void Renew();
  // Stops carving from the current block: from now on its last free
  // recycles it.
  void Seal();
};

// The library is linked by the programs that use it, not opened late, so
// its few thread-local bytes can sit in the static block, reached without a
// call. One carver a stream.
// `__thread`: plain data needs no per-thread construction, and a C++
// thread_local declared here would be reached through a wrapper call.
[[gnu::visibility("hidden"),
  gnu::tls_model("initial-exec")]] extern __thread Carver threadCarvers[2];

// A piece of `size` (rounded) when the carver's block has no room for it.
QZ_FACILITY_LOCAL void* CutSlow(std::size_t size, Carver& carver);

}  // namespace pool

inline void* AllocateNodeMemory(std::size_t bytes,
                                Stream stream = Stream::kNodes) {
  if (!pool::Pooled(bytes)) return ::operator new(bytes);
  const std::size_t size = pool::Rounded(bytes);
  pool::Carver& carver = pool::threadCarvers[stream == Stream::kNodes ? 0 : 1];
  return carver.Fits(size) ? carver.Cut(size) : pool::CutSlow(size, carver);
}

QZ_FACILITY_LOCAL void FreeNodeMemory(void* memory, std::size_t bytes);

// Grows a piece of `bytes` by `more`, both multiples of 8, in place: true
// when it is the last piece cut from this thread's node stream and its
// block has the room, false, changing nothing, otherwise. A grown piece is
// freed as any other.
inline bool ExtendNodeMemory(void* memory, std::size_t bytes,
                             std::size_t more) {
  pool::Carver& carver = pool::threadCarvers[0];
  // Only a pooled piece ends where the carver goes on cutting.
  if (static_cast<char*>(memory) + bytes != carver.next ||
      bytes + more > pool::kMaxPooled || !carver.Fits(more)) {
    return false;
  }
  carver.next += more;
  return true;
}

}  // namespace qzfacility

#endif  // QZ_PLATFORM_FACILITY_NODE_POOL_H_
