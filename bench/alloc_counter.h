// Heap allocations made anywhere in this process (the benchmark, the host
// runtime, the loaded module, jsoncpp, the C++ runtime), counted at malloc.
#pragma once

#include <cstdint>

namespace bench {

// Calls of malloc, calloc, realloc and the aligned forms since the process
// started. operator new reaches malloc, so it is counted once, there.
std::uint64_t heap_allocations();

}  // namespace bench
