#pragma once

#include <cstddef>

namespace JsonRpc::Test {

/// Counts the global heap allocations and deallocations made by this thread while an instance
/// lives (this test binary replaces the global operator new and delete).
class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    /// Allocations since construction or the last Reset().
    std::size_t Allocations() const;
    /// Deallocations since construction or the last Reset().
    std::size_t Deallocations() const;
    /// Starts counting from zero again.
    void Reset();
};

}  // namespace JsonRpc::Test
