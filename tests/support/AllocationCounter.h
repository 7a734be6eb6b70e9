#pragma once
// Counts every heap allocation of the test process (the global operator new
// and delete are replaced in AllocationCounter.cpp), and can make the Nth
// allocation from now fail, to test the allocation-failure paths of
// configure and of the loaders.

#include <cstddef>

namespace qb32::testing {

// Allocations made by this thread since the process started.
std::size_t allocationCount() noexcept;

// Counts the allocations made by this thread while it lives.
class AllocationScope {
public:
    AllocationScope() noexcept;
    [[nodiscard]] std::size_t allocations() const noexcept;

private:
    std::size_t start;
};

// While it lives, allocation number `n` (1-based, counted from its
// construction, on this thread) and every later one fail (nothrow forms
// answer null, throwing forms throw std::bad_alloc).
class AllocationFailureScope {
public:
    explicit AllocationFailureScope(std::size_t n) noexcept;
    ~AllocationFailureScope();
    AllocationFailureScope(const AllocationFailureScope&) = delete;
    AllocationFailureScope& operator=(const AllocationFailureScope&) = delete;
    // True when at least one allocation was refused.
    [[nodiscard]] bool refusedAny() const noexcept;
};

}  // namespace qb32::testing
