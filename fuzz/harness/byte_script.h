// Reads a fuzz input front to back as a script of small fields. A field past
// the end reads as zero, so every input, however short, is a whole script and
// seeds can be written by hand: one byte per choice, integers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzharness {

class ByteScript {
public:
    ByteScript(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool done() const { return position_ >= size_; }

    std::uint8_t u8() { return position_ < size_ ? data_[position_++] : 0; }

    std::uint16_t u16()
    {
        const std::uint16_t low = u8();
        return static_cast<std::uint16_t>(low | (u8() << 8));
    }

    std::int32_t i32()
    {
        std::uint32_t value = 0;
        for (int shift = 0; shift < 32; shift += 8)
            value |= static_cast<std::uint32_t>(u8()) << shift;
        return static_cast<std::int32_t>(value);
    }

    // Up to `count` bytes: fewer when the input ends first.
    std::vector<std::uint8_t> bytes(std::size_t count)
    {
        const std::size_t available = size_ - position_ < count ? size_ - position_ : count;
        std::vector<std::uint8_t> taken(data_ + position_, data_ + position_ + available);
        position_ += available;
        return taken;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

}  // namespace fuzzharness
