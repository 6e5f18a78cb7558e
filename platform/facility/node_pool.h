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

// Nodes come from one stream of blocks, and the pieces their slots own (a
// long text, a list's vector) from another, so that a node being built
// stays the last piece of its stream and can grow in place.
enum class Stream { kNodes, kOwned };

// The facility's own: called within its library, never through its PLT.
#define QZ_FACILITY_LOCAL [[gnu::visibility("hidden")]]

QZ_FACILITY_LOCAL void* AllocateNodeMemory(std::size_t bytes,
                                           Stream stream = Stream::kNodes);
QZ_FACILITY_LOCAL void FreeNodeMemory(void* memory, std::size_t bytes);
// Grows a piece of `bytes` by `more`, both multiples of 8, in place: true
// when it is the last piece cut from this thread's node stream and its
// block has the room, false, changing nothing, otherwise. A grown piece is
// freed as any other.
QZ_FACILITY_LOCAL bool ExtendNodeMemory(void* memory, std::size_t bytes,
                                        std::size_t more);

}  // namespace qzfacility

#endif  // QZ_PLATFORM_FACILITY_NODE_POOL_H_
