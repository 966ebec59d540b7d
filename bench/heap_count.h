// Heap allocations in this process: the benchmark program defines the C allocator's entry
// points itself (forwarding to the C library's own), so every allocation made by any code in
// the process, the library's included, is counted here.
#pragma once

#include <cstdint>

namespace heap_count {

std::uint64_t allocations();

}  // namespace heap_count
