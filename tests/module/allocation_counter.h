// Counts the blocks alive on the global heap. This executable replaces the
// global operator new and delete and exports them, so the module, loaded
// into it, allocates and frees through them too.
#pragma once

#include <cstddef>

namespace kpmtest {

std::ptrdiff_t live_allocations();

}  // namespace kpmtest
