// Counts heap allocations by replacing the C allocator's entry points in the
// executable. The executable exports its symbols, so every library in the
// process, the dlopen'ed module included, binds malloc to these definitions;
// they count and forward to glibc's own allocator.
#include "bench/alloc_counter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace {

std::atomic<std::uint64_t> allocations{0};

void count_one() { allocations.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

namespace bench {

std::uint64_t heap_allocations() { return allocations.load(std::memory_order_relaxed); }

}  // namespace bench

extern "C" {

void* malloc(std::size_t size)
{
    count_one();
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size)
{
    count_one();
    return __libc_calloc(count, size);
}

// A realloc that only frees (size 0) is not an allocation, but glibc may
// still hand back a fresh minimum-size block; counting it keeps the rule simple.
void* realloc(void* pointer, std::size_t size)
{
    count_one();
    return __libc_realloc(pointer, size);
}

void free(void* pointer) { __libc_free(pointer); }

void* memalign(std::size_t alignment, std::size_t size)
{
    count_one();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size)
{
    count_one();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, std::size_t alignment, std::size_t size)
{
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    count_one();
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr && size != 0)
        return ENOMEM;
    *result = pointer;
    return 0;
}

}  // extern "C"
