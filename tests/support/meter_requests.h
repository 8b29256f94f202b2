// Drives a meter device the way the host does: polls answered with a register
// block, write replies, and control requests.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/spmodbus.h"
#include "devhost/runtime/reply_layout.h"

namespace kpmtest {

constexpr int kSnapshotText = 801;
constexpr int kSnapshotAddress = 803;
constexpr int kWriteOutcomeQuery = 0;  // any code without a meaning of its own

using RegisterBlock = std::array<std::uint16_t, 60>;

inline RegisterBlock block_of(std::uint16_t every_word)
{
    RegisterBlock block;
    block.fill(every_word);
    return block;
}

// One poll answered by the meter with `block`: the round completes. The host
// hands process_payload the transaction kind the poll set.
inline void complete_round(SPModbus& device, const RegisterBlock& block)
{
    device.RefreshStatus();
    devhost::place_read_reply(device, block.data(), block.size());
    device.process_payload(device.tab, 120);
}

struct IoResult {
    int result;
    int out_count;
};

inline IoResult request(SPModbus& device, int code, const void* in, int in_len, void* out,
                        int out_len)
{
    int out_count = -12345;
    const int result = device.DeviceIoControl(code, in, in_len, out, out_len, out_count);
    return {result, out_count};
}

inline IoResult request_with_words(SPModbus& device, int code,
                                   const std::vector<std::uint16_t>& words)
{
    return request(device, code, words.data(), static_cast<int>(2 * words.size()), nullptr, 0);
}

inline IoResult request_with_text(SPModbus& device, int code, const std::string& text)
{
    return request(device, code, text.data(), static_cast<int>(text.size()), nullptr, 0);
}

inline std::string snapshot_text(SPModbus& device)
{
    std::vector<char> out(64 * 1024);
    const IoResult io = request(device, kSnapshotText, nullptr, 0, out.data(),
                                static_cast<int>(out.size()));
    EXPECT_EQ(io.result, 0);
    if (io.result != 0 || io.out_count < 0)
        return {};
    return std::string(out.data(), static_cast<std::size_t>(io.out_count));
}

inline std::int32_t write_outcome(SPModbus& device)
{
    unsigned char out[4];
    const IoResult io = request(device, kWriteOutcomeQuery, nullptr, 0, out, sizeof out);
    EXPECT_EQ(io.result, 0);
    EXPECT_EQ(io.out_count, 4);
    std::int32_t outcome;
    std::memcpy(&outcome, out, sizeof outcome);
    return outcome;
}

}  // namespace kpmtest
