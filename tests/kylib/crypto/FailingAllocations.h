#pragma once

// Allocation failure on demand, for tests of what a failure other than KyException leaves
// behind. The test binary replaces the global operator new and delete (in
// FailingAllocations.cpp) with ones that draw from malloc and, while a FailAllocation
// lives, throw std::bad_alloc at one chosen allocation of the calling thread.
//
// Threads: the count is the calling thread's own; other threads allocate as usual.

#include <cstddef>

namespace kytest {

class FailAllocation {
public:
    // The allocation `index` (0: the next one) made by this thread through operator new
    // throws std::bad_alloc; every other succeeds. Only allocations of at least
    // `minimumSize` bytes are counted (and may fail).
    explicit FailAllocation(long index, std::size_t minimumSize = 0);
    ~FailAllocation();
    FailAllocation(const FailAllocation&) = delete;
    FailAllocation& operator=(const FailAllocation&) = delete;

    // Whether the chosen allocation happened (and threw).
    bool failed() const;
};

}  // namespace kytest
