// A seam in the program's allocator: the facility's nodes, texts and lists
// all come through operator new (the node pool gives way to it under the
// sanitizers), so a test can make one allocation of an operation fail.
#ifndef QZ_TESTS_FAILING_ALLOCATION_H_
#define QZ_TESTS_FAILING_ALLOCATION_H_

namespace qztest {

// The allocation after the next `count` throws std::bad_alloc, and only
// that one; a negative count fails none.
void FailAllocationAfter(long count);

}  // namespace qztest

#endif  // QZ_TESTS_FAILING_ALLOCATION_H_
