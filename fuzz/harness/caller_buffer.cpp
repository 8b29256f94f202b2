#include "fuzz/harness/caller_buffer.h"

#include <climits>
#include <cstring>

namespace fuzzharness {

namespace {

enum class InputShape { Exact, LongerThanGiven, Negative, Null, kCount };
enum class OutputShape { Sized, Negative, NullPositive, NullZero, kCount };

// A length from INT_MIN to -1, INT_MIN included.
int negative_length(ByteScript& script)
{
    const auto magnitude = static_cast<std::uint32_t>(script.i32()) & 0x7FFFFFFFu;
    return static_cast<int>(-1 - static_cast<std::int64_t>(magnitude));
}

}  // namespace

CallerBuffer::CallerBuffer(std::size_t real_size, std::uint8_t fill, int declared)
    : storage_(new unsigned char[real_size]), real_size_(real_size), declared_(declared)
{
    std::memset(storage_.get(), fill, real_size);
}

CallerBuffer CallerBuffer::null(int declared)
{
    CallerBuffer buffer(0, 0, declared);
    buffer.storage_.reset();
    return buffer;
}

bool CallerBuffer::untouched_from(std::size_t from) const
{
    for (std::size_t i = from; i < real_size_; ++i)
        if (storage_[i] != kCanary)
            return false;
    return true;
}

CallerBuffer CallerBuffer::input_from(ByteScript& script, std::size_t max_given)
{
    const auto shape = static_cast<InputShape>(script.u8() % static_cast<int>(InputShape::kCount));
    const std::size_t wanted = script.u16() % (max_given + 1);
    const std::vector<std::uint8_t> given = script.bytes(wanted);
    const int given_length = static_cast<int>(given.size());

    auto with_given = [&](int declared) {
        CallerBuffer buffer(given.size(), 0, declared);
        if (!given.empty())
            std::memcpy(buffer.bytes(), given.data(), given.size());
        return buffer;
    };

    switch (shape) {
    case InputShape::Exact:
        return with_given(given_length);
    case InputShape::LongerThanGiven: {
        // The module cannot know the real size, so a longer declared length
        // comes without memory: a null pointer.
        const auto extra = static_cast<std::uint32_t>(script.i32()) % (INT_MAX - given_length);
        return null(given_length + 1 + static_cast<int>(extra));
    }
    case InputShape::Negative:
        return with_given(negative_length(script));
    case InputShape::Null:
    default:
        return null(0);
    }
}

CallerBuffer CallerBuffer::output_from(ByteScript& script, std::size_t max_size)
{
    const auto shape =
        static_cast<OutputShape>(script.u8() % static_cast<int>(OutputShape::kCount));
    switch (shape) {
    case OutputShape::Sized: {
        const std::size_t size = script.u16() % (max_size + 1);
        return CallerBuffer(size, kCanary, static_cast<int>(size));
    }
    case OutputShape::Negative:
        // Real bytes behind a negative length: writing any of them is a fault.
        return CallerBuffer(script.u8() % 16, kCanary, negative_length(script));
    case OutputShape::NullPositive:
        return null(1 + script.u16());
    case OutputShape::NullZero:
    default:
        return null(0);
    }
}

}  // namespace fuzzharness
