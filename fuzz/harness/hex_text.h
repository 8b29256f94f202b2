// Bytes as hexadecimal text ("01 03 02 "), for what a fuzz target says when
// a check fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fuzzharness {

inline std::string hex(const std::vector<std::uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
        text += ' ';
    }
    return text;
}

}  // namespace fuzzharness
