// Requests, replies and Modbus TCP frames: as the master builds a request a
// meter reads it back, as a meter builds a reply the master takes it, and
// what does not fit is refused as the protocol wants.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "modbus/mbap.h"
#include "modbus/protocol.h"
#include "modbus/replies.h"
#include "modbus/requests.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Verdict = modbus::ReplyJudgement::Verdict;

modbus::RequestShape parse(const Bytes& bytes, modbus::Request& request)
{
    return modbus::parse_request(bytes.data(), bytes.size(), request);
}

TEST(Requests, AreBuiltBigEndianAndReadBackAsBuilt)
{
    modbus::Request request;
    const Bytes read = modbus::read_registers_request(1, 0x1234, 125);
    EXPECT_EQ(read, (Bytes{0x01, 0x03, 0x12, 0x34, 0x00, 0x7D}));
    ASSERT_EQ(parse(read, request), modbus::RequestShape::Read);
    EXPECT_EQ(request.slave, 1);
    EXPECT_EQ(request.address, 0x1234);
    EXPECT_EQ(request.count, 125);

    const Bytes single = modbus::write_register_request(247, 20, 0xABCD);
    EXPECT_EQ(single, (Bytes{0xF7, 0x06, 0x00, 0x14, 0xAB, 0xCD}));
    ASSERT_EQ(parse(single, request), modbus::RequestShape::WriteSingle);
    EXPECT_EQ(request.address, 20);
    EXPECT_EQ(request.values, std::vector<std::uint16_t>{0xABCD});

    const Bytes multiple = modbus::write_registers_request(17, 1, {0x000A, 0x0102});
    EXPECT_EQ(multiple, (Bytes{0x11, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02}));
    ASSERT_EQ(parse(multiple, request), modbus::RequestShape::WriteMultiple);
    EXPECT_EQ(request.count, 2);
    EXPECT_EQ(request.values, (std::vector<std::uint16_t>{0x000A, 0x0102}));
}

TEST(Requests, OfTheWrongLengthOrByteCountAreRefused)
{
    modbus::Request request;
    EXPECT_EQ(parse({0x01, 0x03, 0x00, 0x0A, 0x00}, request), modbus::RequestShape::Unsupported);
    EXPECT_EQ(parse({0x01, 0x03, 0x00, 0x0A, 0x00, 0x01, 0x00}, request),
              modbus::RequestShape::Unsupported);
    EXPECT_EQ(parse({0x01, 0x2B, 0x0E, 0x01, 0x00, 0x00}, request),
              modbus::RequestShape::Unsupported);
    EXPECT_EQ(request.function, 0x2B);
    EXPECT_EQ(parse({0x01, 0x10, 0x00, 0x0A, 0x00, 0x01}, request),
              modbus::RequestShape::Unsupported)
        << "a multiple write without its byte count";
    // The byte count must be twice the count and match what follows; the
    // meter still learns which registers were meant, for its answer.
    EXPECT_EQ(parse({0x01, 0x10, 0x00, 0x0A, 0x00, 0x02, 0x02, 0x00, 0x01}, request),
              modbus::RequestShape::BadByteCount);
    EXPECT_EQ(request.address, 10);
    EXPECT_EQ(request.count, 2);
    EXPECT_EQ(parse({0x01, 0x10, 0x00, 0x0A, 0x00, 0x01, 0x02, 0x00}, request),
              modbus::RequestShape::BadByteCount)
        << "cut short";
}

TEST(Replies, ToTheirRequestAreTaken)
{
    const Bytes read = modbus::read_registers_request(3, 10, 2);
    const Bytes reply = modbus::read_registers_reply(3, {0x0102, 0xFFFE});
    EXPECT_EQ(reply, (Bytes{0x03, 0x03, 0x04, 0x01, 0x02, 0xFF, 0xFE}));
    const auto judged = modbus::judge_reply(read, reply);
    EXPECT_EQ(judged.verdict, Verdict::Answer) << judged.problem;
    EXPECT_EQ(judged.registers, (std::vector<std::uint16_t>{0x0102, 0xFFFE}));

    const auto single = modbus::judge_reply(modbus::write_register_request(3, 20, 500),
                                            modbus::write_register_reply(3, 20, 500));
    EXPECT_EQ(single.verdict, Verdict::Answer) << single.problem;
    EXPECT_EQ(single.echo, 500);
    const Bytes echo = modbus::write_registers_reply(3, 27, 2);
    EXPECT_EQ(echo, (Bytes{0x03, 0x10, 0x00, 0x1B, 0x00, 0x02}));
    const auto multiple =
        modbus::judge_reply(modbus::write_registers_request(3, 27, {1, 2}), echo);
    EXPECT_EQ(multiple.verdict, Verdict::Answer) << multiple.problem;
    EXPECT_EQ(multiple.echo, 2);
}

TEST(Replies, ThatAnswerSomethingElseAreRefusedWithTheReason)
{
    const Bytes read = modbus::read_registers_request(1, 10, 2);
    const Bytes write = modbus::write_register_request(1, 20, 7);
    const struct {
        const char* name;
        Bytes request;
        Bytes reply;
        Verdict verdict;
        const char* problem;
    } cases[] = {
        {"exception", read, modbus::exception_reply(1, 3, modbus::kIllegalAddress),
         Verdict::Exception, "exception 2 from the meter"},
        {"short", read, {0x01, 0x03}, Verdict::Mismatch, "reply too short"},
        {"other function", read, modbus::write_register_reply(1, 10, 2), Verdict::Mismatch,
         "reply to function 6"},
        {"too few registers", read, modbus::read_registers_reply(1, {5}), Verdict::Mismatch,
         "2 data bytes for 2 registers"},
        {"byte count beyond the reply", read, {0x01, 0x03, 0x04, 0x00, 0x01}, Verdict::Mismatch,
         "4 data bytes for 2 registers"},
        {"other register", write, modbus::write_register_reply(1, 21, 7), Verdict::Mismatch,
         "write reply names register 21"},
        {"echo cut short", write, {0x01, 0x06, 0x00, 0x14, 0x00}, Verdict::Mismatch,
         "write reply of 5 bytes"},
    };
    for (const auto& c : cases) {
        const auto judged = modbus::judge_reply(c.request, c.reply);
        EXPECT_EQ(judged.verdict, c.verdict) << c.name;
        EXPECT_EQ(judged.problem, c.problem) << c.name;
        EXPECT_TRUE(judged.registers.empty()) << c.name;
    }
}

TEST(Mbap, FramesAStreamByItsHeaderAndKeepsWhatIsIncomplete)
{
    const Bytes body = modbus::read_registers_request(1, 10, 1);
    const Bytes first = modbus::mbap_frame(0x1234, body);
    EXPECT_EQ(first, (Bytes{0x12, 0x34, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x0A, 0x00, 0x01}));
    const Bytes second = modbus::mbap_frame(0x1235, {0x02, 0x83, 0x02});

    Bytes stream = first;
    stream.insert(stream.end(), second.begin(), second.end());
    stream.insert(stream.end(), first.begin(), first.begin() + 7);
    Bytes frame;
    ASSERT_EQ(modbus::take_mbap_frame(stream, frame), modbus::MbapTake::Frame);
    EXPECT_EQ(modbus::mbap_transaction(frame), 0x1234);
    EXPECT_EQ(modbus::mbap_body(frame), body);
    ASSERT_EQ(modbus::take_mbap_frame(stream, frame), modbus::MbapTake::Frame);
    EXPECT_EQ(modbus::mbap_transaction(frame), 0x1235);
    EXPECT_EQ(modbus::mbap_body(frame), (Bytes{0x02, 0x83, 0x02}));
    EXPECT_EQ(modbus::take_mbap_frame(stream, frame), modbus::MbapTake::NeedMore);
    EXPECT_EQ(stream.size(), 7u) << "the start of the next frame stays";
}

TEST(Mbap, HeadersOutsideTheLimitsCannotBeFramed)
{
    const auto take = [](Bytes header) {
        Bytes frame;
        return modbus::take_mbap_frame(header, frame);
    };
    EXPECT_EQ(take({0x00, 0x01, 0x00, 0x00, 0x00}), modbus::MbapTake::NeedMore);
    // The length counts the unit identifier and the function code at least,
    // and a frame is 260 bytes at most.
    EXPECT_EQ(take({0x00, 0x01, 0x00, 0x00, 0x00, 0x01}), modbus::MbapTake::Broken);
    EXPECT_EQ(take({0x00, 0x01, 0x00, 0x00, 0x00, 0x02}), modbus::MbapTake::NeedMore);
    EXPECT_EQ(take({0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x01, 0x03}), modbus::MbapTake::Frame);
    EXPECT_EQ(take({0x00, 0x01, 0x00, 0x00, 0x00, 0xFE}), modbus::MbapTake::NeedMore);
    EXPECT_EQ(take({0x00, 0x01, 0x00, 0x00, 0x00, 0xFF}), modbus::MbapTake::Broken);
    EXPECT_EQ(take({0x00, 0x01, 0x00, 0x00, 0x01, 0x00}), modbus::MbapTake::Broken);
    EXPECT_EQ(take({0x00, 0x01, 0x00, 0x01, 0x00, 0x06}), modbus::MbapTake::Broken)
        << "protocol 1 is not Modbus";
}

}  // namespace
