#include "facility/node_pool.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <new>
#include <vector>

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

constexpr std::size_t kGranule = 16;
constexpr std::size_t kClasses = 32;  // nodes up to 512 bytes
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

struct FreeNode {
  FreeNode* next;
};

std::size_t ClassOf(std::size_t bytes) {
  return (bytes + kGranule - 1) / kGranule - 1;
}

bool Pooled(std::size_t bytes) {
  return QZ_NODE_POOL && bytes != 0 && ClassOf(bytes) < kClasses;
}

// Blocks and the free lists of threads that have ended. Never destroyed:
// nodes may be freed from other libraries' static destructors.
struct Depot {
  std::mutex mutex;
  std::vector<void*> blocks;
  std::array<FreeNode*, kClasses> orphans{};
  // Whether orphans[c] may be non-empty, read without the lock so that a
  // thread out of free nodes does not take it for nothing.
  std::array<std::atomic<bool>, kClasses> hasOrphans{};

  static Depot& The() {
    static Depot* const depot = new Depot();
    return *depot;
  }
};

// Set once this thread's cache is gone. Other thread-local objects may still
// release records during the thread's teardown; those go to the depot.
thread_local bool cacheGone = false;

void* AllocateFromDepot(std::size_t c) {
  Depot& depot = Depot::The();
  {
    std::lock_guard<std::mutex> lock(depot.mutex);
    if (FreeNode* node = depot.orphans[c]) {
      depot.orphans[c] = node->next;
      if (node->next == nullptr) depot.hasOrphans[c] = false;
      return node;
    }
  }
  return ::operator new((c + 1) * kGranule);
}

void FreeToDepot(void* memory, std::size_t c) {
  Depot& depot = Depot::The();
  std::lock_guard<std::mutex> lock(depot.mutex);
  auto* node = static_cast<FreeNode*>(memory);
  node->next = depot.orphans[c];
  depot.orphans[c] = node;
  depot.hasOrphans[c] = true;
}

// Free nodes are kept by address in an array per size class rather than
// linked through their own memory: taking one then reads the array, which
// runs ahead sequentially, instead of a cold node whose link the next
// allocation must wait for. A request of a million machines reuses millions
// of nodes freed by the one before, so that wait was most of building it.
class ThreadCache {
 public:
  ~ThreadCache() {
    cacheGone = true;
    Depot& depot = Depot::The();
    std::lock_guard<std::mutex> lock(depot.mutex);
    for (std::size_t c = 0; c < kClasses; ++c) {
      for (void* memory : free_[c]) Push(spilled_[c], memory);
      if (spilled_[c] == nullptr) continue;
      // Splice without walking a list that may hold millions of nodes
      // unless another ended thread left some of this class too.
      if (depot.orphans[c] != nullptr) {
        FreeNode* tail = spilled_[c];
        while (tail->next != nullptr) tail = tail->next;
        tail->next = depot.orphans[c];
      }
      depot.orphans[c] = spilled_[c];
      depot.hasOrphans[c] = true;
    }
  }

  void* Allocate(std::size_t bytes) {
    const std::size_t c = ClassOf(bytes);
    std::vector<void*>& free = free_[c];
    if (!free.empty()) {
      void* memory = free.back();
      free.pop_back();
      return memory;
    }
    if (spilled_[c] == nullptr) Refill(c);
    if (FreeNode* node = spilled_[c]) {
      spilled_[c] = node->next;
      return node;
    }
    const std::size_t size = (c + 1) * kGranule;
    if (static_cast<std::size_t>(end_ - next_) < size) NewBlock();
    void* memory = next_;
    next_ += size;
    return memory;
  }

  void Free(void* memory, std::size_t bytes) noexcept {
    const std::size_t c = ClassOf(bytes);
    try {
      free_[c].push_back(memory);
    } catch (const std::bad_alloc&) {
      Push(spilled_[c], memory);  // no room to grow the array
    }
  }

 private:
  static void Push(FreeNode*& list, void* memory) {
    auto* node = static_cast<FreeNode*>(memory);
    node->next = list;
    list = node;
  }

  // Takes over what ended threads left of this class.
  void Refill(std::size_t c) {
    Depot& depot = Depot::The();
    if (!depot.hasOrphans[c].load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> lock(depot.mutex);
    spilled_[c] = depot.orphans[c];
    depot.orphans[c] = nullptr;
    depot.hasOrphans[c] = false;
  }

  void NewBlock() {
    auto* block = static_cast<char*>(::operator new(kBlockBytes));
    Depot& depot = Depot::The();
    {
      std::lock_guard<std::mutex> lock(depot.mutex);
      depot.blocks.push_back(block);
    }
    next_ = block;
    end_ = block + kBlockBytes;
  }

  std::array<std::vector<void*>, kClasses> free_;
  // Free nodes linked through themselves: what ended threads left, and what
  // could not be filed in free_.
  std::array<FreeNode*, kClasses> spilled_{};
  char* next_ = nullptr;
  char* end_ = nullptr;
};

ThreadCache& Cache() {
  thread_local ThreadCache cache;
  return cache;
}

}  // namespace

void* AllocateNodeMemory(std::size_t bytes) {
  if (!Pooled(bytes)) return ::operator new(bytes);
  if (cacheGone) return AllocateFromDepot(ClassOf(bytes));
  return Cache().Allocate(bytes);
}

void FreeNodeMemory(void* memory, std::size_t bytes) {
  if (!Pooled(bytes)) {
    ::operator delete(memory);
    return;
  }
  if (cacheGone) {
    FreeToDepot(memory, ClassOf(bytes));
    return;
  }
  Cache().Free(memory, bytes);
}

}  // namespace qzfacility
