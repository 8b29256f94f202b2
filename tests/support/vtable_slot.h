// The virtual-table slot of a member function, read from its pointer-to-
// member. Works for 4- and 8-byte pointers alike.
//
// Itanium C++ ABI: a virtual member pointer is {ptr, adj}. Generically ptr is
// 1 + the slot's byte offset. MIPS and ARM use the low bit of code addresses
// for the instruction set, so there ptr is the byte offset itself and the
// "virtual" flag is the low bit of adj.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kpmtest {

// -1 when the member pointer does not designate a virtual function.
template <typename MemberPointer>
std::ptrdiff_t vtable_slot(MemberPointer member)
{
    static_assert(sizeof(member) == 2 * sizeof(std::uintptr_t), "Itanium member pointer");
    std::uintptr_t words[2];
    std::memcpy(words, &member, sizeof words);
#if defined(__mips__) || defined(__arm__) || defined(__aarch64__)
    if ((words[1] & 1u) == 0 || words[0] % sizeof(void*) != 0)
        return -1;
    return static_cast<std::ptrdiff_t>(words[0] / sizeof(void*));
#else
    if (words[0] % sizeof(void*) != 1)
        return -1;
    return static_cast<std::ptrdiff_t>((words[0] - 1) / sizeof(void*));
#endif
}

}  // namespace kpmtest
