// The Modbus judgement every kind of line shares (Line::read_registers,
// write_register, write_registers), on its own: a line whose carrier hands
// back a scripted reply, so that each way a well-framed, intact reply can
// fail to answer its request is met exactly once, whatever carries it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "devhost/lines/line.h"
#include "fuzz/harness/scripted_line.h"

namespace {

using devhost::Exchange;
using devhost::ExchangeStatus;
using devhost::MeterAddress;
using Bytes = std::vector<std::uint8_t>;

using fuzzharness::ScriptedLine;

const MeterAddress kMeter{7, 500};

struct Refusal {
    const char* what;
    Bytes reply;
    ExchangeStatus status;
    const char* message;  // a part of the exchange's error
};

class LineJudgement : public testing::Test {
protected:
    void expect_refused(const Refusal& refusal, const Exchange& exchange)
    {
        EXPECT_EQ(exchange.status, refusal.status)
            << refusal.what << ": " << devhost::status_name(exchange.status);
        EXPECT_NE(exchange.error.find(refusal.message), std::string::npos)
            << refusal.what << ": " << exchange.error;
        EXPECT_TRUE(exchange.registers.empty()) << refusal.what;
    }
    ScriptedLine line;
};

// Registers 0x0102 and 0x0304 read from 0x0010: the request names the meter,
// the function, the first register and the count, and the reply's words
// come back in order, high byte first.
TEST_F(LineJudgement, AReadIsAskedAsModbusSaysAndItsWordsTaken)
{
    line.reply = {7, 3, 4, 0x01, 0x02, 0x03, 0x04};
    const Exchange exchange = line.read_registers(kMeter, 0x0010, 2);
    EXPECT_EQ(line.last_request, (Bytes{7, 3, 0x00, 0x10, 0x00, 0x02}));
    ASSERT_EQ(exchange.status, ExchangeStatus::Ok) << exchange.error;
    EXPECT_EQ(exchange.registers, (std::vector<std::uint16_t>{0x0102, 0x0304}));
}

TEST_F(LineJudgement, ReadRepliesThatDoNotAnswerTheReadAreRefused)
{
    const Refusal refusals[] = {
        {"a reply to another function", {7, 4, 4, 0, 1, 0, 2}, ExchangeStatus::BadReply,
         "reply to function 4"},
        {"an exception to another function", {7, 0x84, 2}, ExchangeStatus::BadReply,
         "reply to function 132"},
        {"one register where two were asked", {7, 3, 2, 0, 1}, ExchangeStatus::BadReply,
         "2 data bytes for 2 registers"},
        {"three registers where two were asked", {7, 3, 6, 0, 1, 0, 2, 0, 3},
         ExchangeStatus::BadReply, "6 data bytes for 2 registers"},
        {"a byte count the data does not fill", {7, 3, 4, 0, 1, 0}, ExchangeStatus::BadReply,
         "4 data bytes for 2 registers"},
        {"data beyond the byte count", {7, 3, 4, 0, 1, 0, 2, 0}, ExchangeStatus::BadReply,
         "4 data bytes for 2 registers"},
        {"no byte count at all", {7, 3}, ExchangeStatus::BadReply, "reply too short"},
        {"an exception", {7, 0x83, 2}, ExchangeStatus::Exception, "exception 2 from the meter"},
    };
    for (const Refusal& refusal : refusals) {
        line.reply = refusal.reply;
        expect_refused(refusal, line.read_registers(kMeter, 0x0010, 2));
    }
}

// Register 0x0020 set to 0xBEEF: the echo names the register and carries
// the value back for the device to judge, even one that differs.
TEST_F(LineJudgement, ASingleWriteIsAskedAsModbusSaysAndItsEchoPassedOn)
{
    line.reply = {7, 6, 0x00, 0x20, 0xBE, 0xEF};
    Exchange exchange = line.write_register(kMeter, 0x0020, 0xBEEF);
    EXPECT_EQ(line.last_request, (Bytes{7, 6, 0x00, 0x20, 0xBE, 0xEF}));
    ASSERT_EQ(exchange.status, ExchangeStatus::Ok) << exchange.error;
    EXPECT_EQ(exchange.echo, 0xBEEF);

    line.reply = {7, 6, 0x00, 0x20, 0xBE, 0xEE};
    exchange = line.write_register(kMeter, 0x0020, 0xBEEF);
    ASSERT_EQ(exchange.status, ExchangeStatus::Ok) << exchange.error;
    EXPECT_EQ(exchange.echo, 0xBEEE);
}

TEST_F(LineJudgement, MultipleWriteIsAskedAsModbusSaysAndItsCountPassedOn)
{
    line.reply = {7, 16, 0x01, 0x00, 0x00, 0x02};
    const Exchange exchange = line.write_registers(kMeter, 0x0100, {0x1122, 0x3344});
    EXPECT_EQ(line.last_request, (Bytes{7, 16, 0x01, 0x00, 0x00, 0x02, 4, 0x11, 0x22, 0x33, 0x44}));
    ASSERT_EQ(exchange.status, ExchangeStatus::Ok) << exchange.error;
    EXPECT_EQ(exchange.echo, 2);
}

TEST_F(LineJudgement, WriteEchoesThatDoNotAnswerTheWriteAreRefused)
{
    const Refusal single[] = {
        {"an echo of another register", {7, 6, 0x00, 0x21, 0xBE, 0xEF}, ExchangeStatus::BadReply,
         "names register 33"},
        {"an echo of the register below", {7, 6, 0x00, 0x1F, 0xBE, 0xEF},
         ExchangeStatus::BadReply, "names register 31"},
        {"an echo one byte short", {7, 6, 0x00, 0x20, 0xBE}, ExchangeStatus::BadReply,
         "write reply of 5 bytes"},
        {"an echo one byte long", {7, 6, 0x00, 0x20, 0xBE, 0xEF, 0}, ExchangeStatus::BadReply,
         "write reply of 7 bytes"},
        {"a multiple write's echo", {7, 16, 0x00, 0x20, 0x00, 0x01}, ExchangeStatus::BadReply,
         "reply to function 16"},
        {"an exception", {7, 0x86, 4}, ExchangeStatus::Exception, "exception 4 from the meter"},
    };
    for (const Refusal& refusal : single) {
        line.reply = refusal.reply;
        expect_refused(refusal, line.write_register(kMeter, 0x0020, 0xBEEF));
    }
    const Refusal multiple[] = {
        {"an echo of another register", {7, 16, 0x01, 0x01, 0x00, 0x02}, ExchangeStatus::BadReply,
         "names register 257"},
        {"an echo one byte short", {7, 16, 0x01, 0x00, 0x00}, ExchangeStatus::BadReply,
         "write reply of 5 bytes"},
        {"a single write's echo", {7, 6, 0x01, 0x00, 0x11, 0x22}, ExchangeStatus::BadReply,
         "reply to function 6"},
        {"an exception", {7, 0x90, 3}, ExchangeStatus::Exception, "exception 3 from the meter"},
    };
    for (const Refusal& refusal : multiple) {
        line.reply = refusal.reply;
        expect_refused(refusal, line.write_registers(kMeter, 0x0100, {0x1122, 0x3344}));
    }
}

// What the carrier found wrong (a timeout, a bad checksum, a lost line)
// stays what it is: the judgement never turns it into an answer.
TEST_F(LineJudgement, TheCarriersFailureIsReportedAsItIs)
{
    line.reply = {7, 3, 4, 0, 1, 0, 2};
    for (ExchangeStatus status : {ExchangeStatus::Timeout, ExchangeStatus::BadCrc,
                                  ExchangeStatus::LineDown, ExchangeStatus::NoConnection}) {
        line.carried = status;
        const Exchange exchange = line.read_registers(kMeter, 0x0010, 2);
        EXPECT_EQ(exchange.status, status);
        EXPECT_TRUE(exchange.registers.empty());
        EXPECT_EQ(line.write_register(kMeter, 0x0020, 1).status, status);
    }
}

}  // namespace
