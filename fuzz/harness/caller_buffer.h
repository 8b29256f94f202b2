// A caller's buffer as a fuzz target hands it to the module: the pointer and
// the length passed, and the real storage behind the pointer, allocated at
// exactly its real size so that AddressSanitizer reports any access past it.
// A declared length that the storage cannot honour (negative, or longer than
// the bytes the input gave) is presented with a null pointer or with storage
// shorter than declared, never with memory the module could legally use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/harness/byte_script.h"

namespace fuzzharness {

class CallerBuffer {
public:
    // Storage of `real_size` bytes, each set to `fill`, passed with `declared`.
    CallerBuffer(std::size_t real_size, std::uint8_t fill, int declared);
    // No storage: a null pointer passed with `declared`.
    static CallerBuffer null(int declared);

    // Input buffers: how the script shapes the request's input bytes.
    static CallerBuffer input_from(ByteScript& script, std::size_t max_given);
    // Output buffers: a real buffer of a chosen size, or a null or negative one.
    // Unused bytes hold kCanary, so writes the module must not make show.
    static CallerBuffer output_from(ByteScript& script, std::size_t max_size);

    void* pointer() const { return storage_.get(); }
    unsigned char* bytes() const { return storage_.get(); }
    int declared() const { return declared_; }
    std::size_t real_size() const { return real_size_; }

    // Whether bytes [from, real_size) still all hold kCanary.
    bool untouched_from(std::size_t from) const;

    static constexpr std::uint8_t kCanary = 0xA5;

private:
    std::unique_ptr<unsigned char[]> storage_;
    std::size_t real_size_ = 0;
    int declared_ = 0;
};

}  // namespace fuzzharness
