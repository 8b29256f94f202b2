// A caller's buffer with guard bytes on both sides, to prove that a request
// read or wrote only inside the length it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kpmtest {

class GuardedBuffer {
public:
    static constexpr std::uint8_t kGuard = 0xA5;
    static constexpr std::size_t kGuardBytes = 16;

    // `misalign` shifts the buffer off its natural alignment, as a caller's
    // buffer may be: the target traps on misaligned word loads.
    explicit GuardedBuffer(std::size_t size, std::size_t misalign = 0)
        : size_(size),
          offset_(kGuardBytes + misalign),
          storage_(size + 2 * kGuardBytes + misalign, kGuard)
    {
    }

    std::uint8_t* data() { return storage_.data() + offset_; }
    std::size_t size() const { return size_; }
    int length() const { return static_cast<int>(size_); }

    std::vector<std::uint8_t> contents() const
    {
        return {storage_.begin() + static_cast<std::ptrdiff_t>(offset_),
                storage_.begin() + static_cast<std::ptrdiff_t>(offset_ + size_)};
    }

    // Everything outside [data(), data() + size()) still holds the guard.
    bool guards_intact() const
    {
        for (std::size_t i = 0; i < storage_.size(); ++i)
            if ((i < offset_ || i >= offset_ + size_) && storage_[i] != kGuard)
                return false;
        return true;
    }

    bool untouched() const
    {
        for (std::uint8_t byte : storage_)
            if (byte != kGuard)
                return false;
        return true;
    }

private:
    std::size_t size_;
    std::size_t offset_;
    std::vector<std::uint8_t> storage_;
};

}  // namespace kpmtest
