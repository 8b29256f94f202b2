// The line's side of the codec: the RTU checksum, the time frames take and
// the silences between them, and where a frame ends by its header.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "modbus/frame_timing.h"
#include "modbus/rtu_crc.h"
#include "modbus/rtu_framing.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::nanoseconds;

TEST(RtuCrc, MatchesKnownFramesAndSendsItsLowByteFirst)
{
    // A read of 10 registers from 0 at slave 1, as the Modbus reference frames it.
    const Bytes request{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    EXPECT_EQ(modbus::rtu_crc(request.data(), request.size()), 0xCDC5);
    EXPECT_EQ(modbus::with_rtu_crc(request),
              (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
    EXPECT_EQ(modbus::with_rtu_crc({0x01, 0x06, 0x00, 0x01, 0x00, 0x03}),
              (Bytes{0x01, 0x06, 0x00, 0x01, 0x00, 0x03, 0x98, 0x0B}));
    // The check value of this CRC over the digits 1 to 9.
    const std::string digits = "123456789";
    EXPECT_EQ(modbus::rtu_crc(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()),
              0x4B37);
}

TEST(RtuCrc, FrameCheckRefusesAnyChangedBitAndTooShortFrames)
{
    const Bytes frame = modbus::with_rtu_crc({0x11, 0x03, 0x02, 0x12, 0x34});
    EXPECT_TRUE(modbus::rtu_crc_ok(frame.data(), frame.size()));
    for (std::size_t byte = 0; byte < frame.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes damaged = frame;
            damaged[byte] ^= static_cast<std::uint8_t>(1 << bit);
            EXPECT_FALSE(modbus::rtu_crc_ok(damaged.data(), damaged.size()))
                << "byte " << byte << " bit " << bit;
        }
    }
    const std::uint8_t one = 0xFF;
    EXPECT_FALSE(modbus::rtu_crc_ok(&one, 1));
    EXPECT_FALSE(modbus::rtu_crc_ok(nullptr, 0));
}

TEST(FrameTiming, SilenceIsThreeAndAHalfCharactersOrFixedAbove19200Baud)
{
    const struct {
        int baud;
        char parity;
        long long nanoseconds;
    } cases[] = {
        {9600, 'N', 3645834},   // 35 bits / 9600, rounded up
        {9600, 'E', 4010417},   // 38.5 bits
        {19200, 'E', 2005209},  // the last speed that is counted in characters
        {19200, 'N', 1822917},
        {1200, 'O', 32083334},
        {38400, 'N', 1750000},  // fixed from here on
        {115200, 'E', 1750000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(modbus::inter_frame_silence(c.baud, c.parity), nanoseconds(c.nanoseconds))
            << c.baud << c.parity;
}

TEST(FrameTiming, WireTimeAndCharacterTimeoutCountTheParityBit)
{
    EXPECT_EQ(modbus::wire_time(9600, 'N', 8), nanoseconds(8333334));
    EXPECT_EQ(modbus::wire_time(9600, 'O', 8), nanoseconds(9166667));
    EXPECT_EQ(modbus::wire_time(19200, 'N', 0), nanoseconds(0));
    EXPECT_EQ(modbus::inter_char_timeout(9600, 'N'), nanoseconds(1562500));
    EXPECT_EQ(modbus::inter_char_timeout(19200, 'E'), nanoseconds(859375));
    EXPECT_EQ(modbus::inter_char_timeout(38400, 'N'), nanoseconds(750000));
    // Between frames a line is silent for longer than inside one.
    for (int baud : {300, 9600, 19200, 115200})
        EXPECT_GT(modbus::inter_frame_silence(baud, 'E'), modbus::inter_char_timeout(baud, 'E'));
}

TEST(RtuFraming, RequestsEndWhereTheirHeaderSays)
{
    const Bytes read{0x01, 0x03, 0x00, 0x0A, 0x00, 0x3C, 0xAA, 0xBB};
    EXPECT_EQ(modbus::rtu_request_length(read.data(), 1), modbus::kNeedMoreBytes);
    EXPECT_EQ(modbus::rtu_request_length(read.data(), 2), 8u);
    // A multiple write: 7 header bytes, then as many as its byte count, then the CRC.
    const Bytes write{0x01, 0x10, 0x00, 0x0A, 0x00, 0x02, 0x04};
    EXPECT_EQ(modbus::rtu_request_length(write.data(), 6), modbus::kNeedMoreBytes);
    EXPECT_EQ(modbus::rtu_request_length(write.data(), 7), 13u);
    const Bytes other{0x01, 0x2B, 0x0E};
    EXPECT_EQ(modbus::rtu_request_length(other.data(), other.size()), modbus::kEndsAtSilence);
}

TEST(RtuFraming, RepliesEndWhereTheirHeaderSays)
{
    const Bytes read{0x01, 0x03, 0x04};
    EXPECT_EQ(modbus::rtu_reply_length(read.data(), 2), modbus::kNeedMoreBytes);
    EXPECT_EQ(modbus::rtu_reply_length(read.data(), 3), 9u);
    const Bytes echo{0x01, 0x06};
    EXPECT_EQ(modbus::rtu_reply_length(echo.data(), 2), 8u);
    // An exception to any function: the address, the function with its
    // high bit set, the code, the CRC.
    for (std::uint8_t function : {0x83, 0x86, 0x90, 0xAB}) {
        const Bytes exception{0x01, function};
        EXPECT_EQ(modbus::rtu_reply_length(exception.data(), 2), 5u) << int{function};
    }
    const Bytes other{0x01, 0x2B};
    EXPECT_EQ(modbus::rtu_reply_length(other.data(), 2), modbus::kEndsAtSilence);
}

}  // namespace
