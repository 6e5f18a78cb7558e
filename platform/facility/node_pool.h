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

namespace qzfacility {

void* AllocateNodeMemory(std::size_t bytes);
void FreeNodeMemory(void* memory, std::size_t bytes);

}  // namespace qzfacility

#endif  // QZ_PLATFORM_FACILITY_NODE_POOL_H_
