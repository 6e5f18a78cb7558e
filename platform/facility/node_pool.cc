#include "facility/node_pool.h"

#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

namespace qzfacility {
namespace pool {

[[gnu::tls_model("initial-exec")]] __thread Carver threadCarvers[2]{};

namespace {

constexpr std::size_t kBlockBytes = std::size_t{64} << 10;
constexpr std::size_t kChunkBytes = std::size_t{2} << 20;
constexpr std::size_t kHeaderBytes = 64;

}  // namespace

// A block's header. `live` counts the pieces carved from the block and not
// yet freed, plus kOpen while a thread is still carving from it, so that
// whichever of the carving thread and the freeing threads is last sees it
// reach 0 and recycles the block.
struct Block {
  std::atomic<std::size_t> live;
  Block* next;  // in the depot's list of empty blocks
};

namespace {

static_assert(sizeof(Block) <= kHeaderBytes, "the header fits its line");

constexpr std::size_t kOpen = std::size_t{1} << 40;

Block* BlockOf(void* memory) {
  return reinterpret_cast<Block*>(reinterpret_cast<std::uintptr_t>(memory) &
                                  ~std::uintptr_t{kBlockBytes - 1});
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

}  // namespace

void Carver::Renew() {
  Seal();
  block = Depot::The().Take();
  block->live.store(kOpen, std::memory_order_relaxed);
  next = reinterpret_cast<char*>(block) + kHeaderBytes;
  end = reinterpret_cast<char*>(block) + kBlockBytes;
  carved = 0;
}

void Carver::Seal() {
  if (block == nullptr) return;
  const std::size_t drop = kOpen - carved;
  if (block->live.fetch_sub(drop, std::memory_order_acq_rel) == drop) {
    Depot::The().Give(block);
  }
  block = nullptr;
  next = end = nullptr;
}

void* CutSlow(std::size_t size, Carver& carver) {
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

}  // namespace pool

using pool::Block;
using pool::BlockOf;
using pool::Depot;
using pool::Pooled;

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

}  // namespace qzfacility
