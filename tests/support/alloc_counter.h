// Counts the heap allocations a test program makes while a counter is alive. Link the
// rxp_alloc_counter library: it replaces the program's global operator new.
#ifndef RXP_TESTS_SUPPORT_ALLOC_COUNTER_H
#define RXP_TESTS_SUPPORT_ALLOC_COUNTER_H

#include <cstddef>

namespace rxptest {

class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;
    // Allocations since this counter started.
    std::size_t count() const;

private:
    std::size_t start_;
};

}  // namespace rxptest

#endif  // RXP_TESTS_SUPPORT_ALLOC_COUNTER_H
