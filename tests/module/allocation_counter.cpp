#include "tests/module/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::ptrdiff_t> live{0};

}  // namespace

namespace kpmtest {

std::ptrdiff_t live_allocations() { return live.load(); }

}  // namespace kpmtest

// The array and no-throw forms of the standard library forward to these.
void* operator new(std::size_t size)
{
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr)
        throw std::bad_alloc();
    ++live;
    return block;
}

void operator delete(void* block) noexcept
{
    if (block == nullptr)
        return;
    --live;
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
