// Memory for record nodes.
//
// Nodes are small, numerous and short-lived in bursts (a request of a
// million machines makes some ten million of them), so they come from
// per-thread free lists by size class, carved out of large blocks. Freed
// node memory is kept for later nodes rather than returned to the system.
// Under AddressSanitizer every node is an ordinary heap allocation, so that
// the sanitizer sees each node's lifetime.
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
