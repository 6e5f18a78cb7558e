#include "facility/node_pool.h"

#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
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

namespace qzfacility {
namespace {

// Nodes hold nothing aligned beyond 8 bytes.
constexpr std::size_t kGranule = 8;
constexpr std::size_t kBlockBytes = std::size_t{64} << 10;
constexpr std::size_t kChunkBytes = std::size_t{2} << 20;
constexpr std::size_t kHeaderBytes = 64;
constexpr std::size_t kMaxPooled = 1024;  // larger pieces go to the heap

// A block's header. `live` counts the pieces carved from the block and not
// yet freed, plus kOpen while a thread is still carving from it, so that
// whichever of the carving thread and the freeing threads is last sees it
// reach 0 and recycles the block.
struct Block {
  std::atomic<std::size_t> live;
  Block* next;  // in the depot's list of empty blocks
};
static_assert(sizeof(Block) <= kHeaderBytes, "the header fits its line");

constexpr std::size_t kOpen = std::size_t{1} << 40;

Block* BlockOf(void* memory) {
  return reinterpret_cast<Block*>(reinterpret_cast<std::uintptr_t>(memory) &
                                  ~std::uintptr_t{kBlockBytes - 1});
}

std::size_t Rounded(std::size_t bytes) {
  return (bytes + kGranule - 1) / kGranule * kGranule;
}

bool Pooled(std::size_t bytes) {
  return QZ_NODE_POOL && bytes != 0 && bytes <= kMaxPooled;
}

// A chunk of fresh memory, aligned to its size. The system is asked to back
// it with one large page where it can: a discovery run's first request fills
// hundreds of megabytes of nodes at once, and faulting them in a small page
// at a time costs more than building them.
char* MapChunk() {
  const std::size_t span = 2 * kChunkBytes;  // room to align within
  void* mapped = ::mmap(nullptr, span, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t chunk = (start + kChunkBytes - 1) & ~(kChunkBytes - 1);
  if (chunk != start) ::munmap(mapped, chunk - start);
  const std::uintptr_t tail = start + span - (chunk + kChunkBytes);
  if (tail != 0) ::munmap(reinterpret_cast<void*>(chunk + kChunkBytes), tail);
#ifdef MADV_HUGEPAGE
  ::madvise(reinterpret_cast<void*>(chunk), kChunkBytes, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<char*>(chunk);
}

// Empty blocks, shared by all threads. Never destroyed: nodes may be freed
// from other libraries' static destructors.
class Depot {
 public:
  static Depot& The() {
    static Depot* const depot = new Depot();
    return *depot;
  }

  Block* Take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (Block* block = empty_) {
        empty_ = block->next;
        return block;
      }
    }
    // Blocks are aligned to their size, so a piece finds its block's header
    // by masking its address; they come a chunk at a time, so that a large
    // request does not cost a mapping per block.
    char* chunk = MapChunk();
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t at = kBlockBytes; at < kChunkBytes; at += kBlockBytes) {
      empty_ = new (chunk + at) Block{{0}, empty_};
    }
    return new (chunk) Block{{0}, nullptr};
  }

  void Give(Block* block) {
    std::lock_guard<std::mutex> lock(mutex_);
    block->next = empty_;
    empty_ = block;
  }

 private:
  std::mutex mutex_;
  Block* empty_ = nullptr;
};

// Cuts pieces from one block at a time, in the order they are asked for, so
// that the nodes of one record tree (a composition and its parts, the text
// of its GUID) sit side by side and a walk over a million of them streams
// through memory instead of jumping between size classes.
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

  void Renew() {
    Seal();
    block = Depot::The().Take();
    block->live.store(kOpen, std::memory_order_relaxed);
    next = reinterpret_cast<char*>(block) + kHeaderBytes;
    end = reinterpret_cast<char*>(block) + kBlockBytes;
    carved = 0;
  }

  // Stops carving from the current block: from now on its last free
  // recycles it.
  void Seal() {
    if (block == nullptr) return;
    const std::size_t drop = kOpen - carved;
    if (block->live.fetch_sub(drop, std::memory_order_acq_rel) == drop) {
      Depot::The().Give(block);
    }
    block = nullptr;
    next = end = nullptr;
  }
};

// The library is linked by the programs that use it, not opened late, so
// its few thread-local bytes can sit in the static block, reached without a
// call.
[[gnu::tls_model("initial-exec")]] thread_local Carver threadCarvers[2]{};
// Set once this thread's carver is sealed. Other thread-local objects may
// still make or release records during the thread's teardown; those pieces
// come from a carver shared under a lock.
[[gnu::tls_model("initial-exec")]] thread_local bool carverGone = false;

// Seals the thread's carver when the thread ends; made on its first block.
struct CarverSeal {
  ~CarverSeal() {
    for (Carver& carver : threadCarvers) carver.Seal();
    carverGone = true;
  }
};

[[gnu::noinline]] void* CutSlow(std::size_t size, Carver& carver) {
  if (carverGone) {
    static Carver* const shared = new Carver{};  // never destroyed, as above
    static std::mutex* const mutex = new std::mutex();
    std::lock_guard<std::mutex> lock(*mutex);
    if (!shared->Fits(size)) shared->Renew();
    return shared->Cut(size);
  }
  thread_local CarverSeal seal;
  carver.Renew();
  return carver.Cut(size);
}

}  // namespace

void* AllocateNodeMemory(std::size_t bytes, Stream stream) {
  if (!Pooled(bytes)) return ::operator new(bytes);
  const std::size_t size = Rounded(bytes);
  Carver& carver = threadCarvers[stream == Stream::kNodes ? 0 : 1];
  return carver.Fits(size) ? carver.Cut(size) : CutSlow(size, carver);
}

void FreeNodeMemory(void* memory, std::size_t bytes) {
  if (!Pooled(bytes)) {
    ::operator delete(memory);
    return;
  }
  Block* block = BlockOf(memory);
  if (block->live.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    Depot::The().Give(block);
  }
}

bool ExtendNodeMemory(void* memory, std::size_t bytes, std::size_t more) {
  Carver& carver = threadCarvers[0];
  // Only a pooled piece ends where the carver goes on cutting.
  if (static_cast<char*>(memory) + bytes != carver.next ||
      bytes + more > kMaxPooled || !carver.Fits(more)) {
    return false;
  }
  carver.next += more;
  return true;
}

}  // namespace qzfacility
