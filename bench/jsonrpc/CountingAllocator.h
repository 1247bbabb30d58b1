#pragma once

#include <cstdint>

namespace JsonRpc::Bench {

/// Number of global heap allocations so far in this process (the benchmark binary replaces the
/// global operator new to count them).
std::uint64_t HeapAllocations() noexcept;

}  // namespace JsonRpc::Bench
