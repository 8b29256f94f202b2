// The lines against a scripted peer that misbehaves as a field gateway, a
// serial server or a meter can: the network lines (tcp://, rtu+tcp://)
// against a server on 127.0.0.1, the serial line against a meter on a
// pseudo-terminal. Each fault ends the exchange with the status and message
// a user is shown, no reply that does not answer the request is ever taken,
// and the line answers the next request with exactly its registers.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devhost/lines/line.h"
#include "devhost/lines/line_factory.h"
#include "modbus/frame_timing.h"
#include "tests/e2e/scripted_peer.h"

namespace {

using devhost::Exchange;
using devhost::ExchangeStatus;
using e2e::Bytes;
using e2e::PeerConnection;
using e2e::PeerFraming;
using e2e::PeerRequest;
using e2e::ScriptedPeer;
using namespace std::chrono_literals;

constexpr int kSlave = 5;
// A reply the peer writes at once reaches the line over loopback within
// microseconds: the timeout is all margin for the two threads' scheduling.
constexpr auto kTimeout = 600ms;
// A pause within a reply that the line must wait out: a sixth of the
// timeout, leaving five sixths for scheduling. (The serial line allows
// libmodbus's 500 ms between the bytes of a reply, more than this timeout.)
constexpr auto kPauseWithin = kTimeout / 6;
// Between the bytes of a reply sent one at a time: 13 of them (a Modbus TCP
// reply of two registers) take 24 ms of the timeout, plus scheduling.
constexpr auto kBytePause = 2ms;

const devhost::MeterAddress kMeter{kSlave, static_cast<int>(kTimeout.count())};

std::vector<std::uint16_t> registers_from(int address, int count)
{
    std::vector<std::uint16_t> registers;
    for (int i = 0; i < count; ++i)
        registers.push_back(e2e::peer_register(address + i));
    return registers;
}

// The PDU with another unit (slave) address.
Bytes from_unit(Bytes pdu, int unit)
{
    pdu[0] = static_cast<std::uint8_t>(unit);
    return pdu;
}

std::string framing_name(const testing::TestParamInfo<PeerFraming>& info)
{
    switch (info.param) {
    case PeerFraming::ModbusTcp: return "tcp";
    case PeerFraming::Rtu: return "rtu_tcp";
    case PeerFraming::Serial: break;
    }
    return "serial";
}

struct FrameLog : devhost::LineObserver {
    void on_frame(const devhost::LineSettings&, const devhost::LineFrame& frame) override
    {
        frames.push_back(frame);
    }
    std::vector<devhost::LineFrame> frames;
};

class LineFaults : public testing::TestWithParam<PeerFraming> {
protected:
    using Script = ScriptedPeer::Script;

    // The peer answers request `index` by `fault` while it is below
    // `faulty` requests, every later one well.
    void start(Script fault, std::size_t faulty = 1, int baud = 9600)
    {
        peer = std::make_unique<ScriptedPeer>(
            GetParam(), [fault, faulty, framing = GetParam()](const PeerRequest& request,
                                                              PeerConnection& connection) {
                if (request.index < faulty)
                    fault(request, connection);
                else
                    connection.send(e2e::peer_frame(framing, request.transaction,
                                                    e2e::good_reply_pdu(request)));
            });
        devhost::LineSettings settings;
        settings.port = peer->address();
        settings.baud = baud;
        line = devhost::make_line(settings);
        std::string error;
        ASSERT_TRUE(line->open(error)) << error;
    }

    Bytes frame(const PeerRequest& request, const Bytes& pdu) const
    {
        return e2e::peer_frame(GetParam(), request.transaction, pdu);
    }
    bool tcp() const { return GetParam() == PeerFraming::ModbusTcp; }
    bool serial() const { return GetParam() == PeerFraming::Serial; }
    // What a user is told when no reply came in time: the serial line says
    // it as libmodbus does.
    std::string no_reply() const { return serial() ? "timed out" : "no reply in time"; }

    Exchange read() { return line->read_registers(kMeter, 100, 2); }

    static void expect_refused(const Exchange& exchange, ExchangeStatus status,
                               const std::string& message)
    {
        EXPECT_EQ(exchange.status, status) << devhost::status_name(exchange.status) << ": "
                                           << exchange.error;
        EXPECT_NE(exchange.error.find(message), std::string::npos) << exchange.error;
        EXPECT_TRUE(exchange.registers.empty());
    }

    // A read of other registers, answered with exactly theirs.
    void expect_usable_afterwards()
    {
        const Exchange exchange = line->read_registers(kMeter, 200, 3);
        ASSERT_EQ(exchange.status, ExchangeStatus::Ok) << exchange.error;
        EXPECT_EQ(exchange.registers, registers_from(200, 3));
    }

    std::unique_ptr<ScriptedPeer> peer;
    std::unique_ptr<devhost::Line> line;
};

// What only a line over TCP does: connections, and replies that name
// another transaction or unit, which it waits past.
class NetworkLineFaults : public LineFaults {};

// Whole, one byte at a time, and in two parts with a pause within the
// timeout: the same reply each time, and writes' echoes likewise.
TEST_P(LineFaults, RepliesAreTakenHoweverTheyAreCut)
{
    start([this](const PeerRequest& request, PeerConnection& connection) {
        const Bytes reply = frame(request, e2e::good_reply_pdu(request));
        switch (request.index) {
        case 0: connection.send(reply); break;
        case 1: connection.send_bytewise(reply, kBytePause); break;
        default:
            // Cut inside the header, where the length is not yet known.
            connection.send(Bytes(reply.begin(), reply.begin() + 1));
            std::this_thread::sleep_for(kPauseWithin);
            connection.send(Bytes(reply.begin() + 1, reply.end()));
            break;
        }
    }, 4);
    for (int round = 0; round < 3; ++round) {
        const Exchange exchange = read();
        ASSERT_EQ(exchange.status, ExchangeStatus::Ok) << round << ": " << exchange.error;
        EXPECT_EQ(exchange.registers, registers_from(100, 2)) << round;
    }
    Exchange echo = line->write_register(kMeter, 30, 0xBEEF);
    ASSERT_EQ(echo.status, ExchangeStatus::Ok) << echo.error;
    EXPECT_EQ(echo.echo, 0xBEEF);
    echo = line->write_registers(kMeter, 40, {1, 2, 3});
    ASSERT_EQ(echo.status, ExchangeStatus::Ok) << echo.error;
    EXPECT_EQ(echo.echo, 3);

    const std::vector<PeerRequest> requests = peer->requests();
    ASSERT_EQ(requests.size(), 5u);
    for (const PeerRequest& request : requests)
        EXPECT_TRUE(request.intact) << request.index;
    EXPECT_EQ(requests[0].pdu, (Bytes{kSlave, 3, 0, 100, 0, 2}));
    EXPECT_EQ(requests[4].pdu, (Bytes{kSlave, 16, 0, 40, 0, 3, 6, 0, 1, 0, 2, 0, 3}));
    for (std::size_t i = 1; tcp() && i < requests.size(); ++i)
        EXPECT_NE(requests[i].transaction, requests[i - 1].transaction) << i;
    EXPECT_EQ(peer->connections(), 1u) << "one connection kept for every request";
}

// The first half of a reply, then nothing until the line has given up; the
// rest comes before the next request and must not be taken for its reply.
TEST_P(LineFaults, AReplyCutShortTimesOutAndItsRestIsNeverTaken)
{
    const auto half_of = [this](const PeerRequest& request) {
        const Bytes reply = frame(request, e2e::good_reply_pdu(request));
        const auto half = reply.begin() + static_cast<long>(reply.size() / 2);
        return std::make_pair(Bytes(reply.begin(), half), Bytes(half, reply.end()));
    };
    start([half_of](const PeerRequest& request, PeerConnection& connection) {
        connection.send(half_of(request).first);
    });
    FrameLog log;
    line->set_observer(&log);
    const Exchange exchange = read();
    if (tcp()) {
        expect_refused(exchange, ExchangeStatus::Timeout, "no reply in time");
    } else {
        expect_refused(exchange, ExchangeStatus::Timeout,
                       serial() ? no_reply() : "reply incomplete after 4 bytes");
        ASSERT_FALSE(log.frames.empty());
        EXPECT_EQ(log.frames.back().problem, "a reply began and was cut short");
        if (!serial()) {
            EXPECT_FALSE(log.frames.back().intact);
        }
    }
    line->set_observer(nullptr);
    ASSERT_TRUE(peer->send_now(half_of(peer->requests().at(0)).second));
    expect_usable_afterwards();
}

// The first half of a reply, the line gives up, then the server closes the
// connection: the half is not joined to the next connection's reply.
TEST_P(NetworkLineFaults, AReplyCutShortThenClosedLeavesNothingForTheNextConnection)
{
    start([this](const PeerRequest& request, PeerConnection& connection) {
        const Bytes reply = frame(request, e2e::good_reply_pdu(request));
        connection.send(Bytes(reply.begin(), reply.begin() + 8));
    });
    EXPECT_EQ(read().status, ExchangeStatus::Timeout);
    peer->close_now();
    expect_usable_afterwards();
    EXPECT_EQ(peer->connections(), 2u);
}

// A well-formed reply already waiting when the request goes out (a late
// answer to an earlier request) is never its reply: over Modbus TCP it
// names an earlier transaction, over RTU the line drops it as a serial
// line is flushed.
TEST_P(LineFaults, AStaleReplyBeforeTheRequestIsNeverTaken)
{
    start([](const PeerRequest&, PeerConnection&) {}, 0);
    expect_usable_afterwards();
    const PeerRequest earlier = peer->requests().back();
    ASSERT_TRUE(peer->send_now(frame(earlier, {kSlave, 3, 6, 0, 1, 0, 2, 0, 3})));
    expect_usable_afterwards();
}

// Within one reply's wait: first an earlier transaction's reply (Modbus TCP)
// or another slave's (RTU), then the right one.
TEST_P(NetworkLineFaults, AStaleOrOtherUnitsReplyBeforeTheRightOneIsDiscarded)
{
    start([this](const PeerRequest& request, PeerConnection& connection) {
        const Bytes good = e2e::good_reply_pdu(request);
        Bytes stale = tcp() ? e2e::peer_frame(GetParam(), request.transaction - 1,
                                              {kSlave, 3, 4, 0, 9, 0, 9})
                            : frame(request, from_unit(good, kSlave + 1));
        const Bytes right = frame(request, good);
        stale.insert(stale.end(), right.begin(), right.end());
        connection.send(stale);
    });
    const Exchange exchange = read();
    ASSERT_EQ(exchange.status, ExchangeStatus::Ok) << exchange.error;
    EXPECT_EQ(exchange.registers, registers_from(100, 2));
}

// Only another unit (slave) answers: the request goes unanswered.
TEST_P(NetworkLineFaults, AnotherUnitsReplyAloneIsNoReply)
{
    start([this](const PeerRequest& request, PeerConnection& connection) {
        connection.send(frame(request, from_unit(e2e::good_reply_pdu(request), kSlave + 1)));
    });
    expect_refused(read(), ExchangeStatus::Timeout, "no reply in time");
    expect_usable_afterwards();
}

TEST_P(LineFaults, SilenceIsATimeout)
{
    start([](const PeerRequest&, PeerConnection&) {});
    expect_refused(read(), ExchangeStatus::Timeout, no_reply());
    expect_usable_afterwards();
}

TEST_P(LineFaults, AnExceptionIsReportedWithItsCode)
{
    start([this](const PeerRequest& request, PeerConnection& connection) {
        connection.send(frame(request, {kSlave, 0x83, 2}));
    });
    expect_refused(read(), ExchangeStatus::Exception, "exception 2 from the meter");
    expect_usable_afterwards();
}

TEST_P(LineFaults, AReplyToAnotherFunctionIsRefused)
{
    start([this](const PeerRequest& request, PeerConnection& connection) {
        Bytes reply = e2e::good_reply_pdu(request);
        reply[1] = 4;
        connection.send(frame(request, reply));
    });
    expect_refused(read(), ExchangeStatus::BadReply, "reply to function 4");
    expect_usable_afterwards();
}

// The server closes the connection in the middle of a reply: the bytes it
// sent are never joined to what the next connection brings.
TEST_P(NetworkLineFaults, ACloseMidFrameLosesTheConnectionAndTheNextIsClean)
{
    start([this](const PeerRequest& request, PeerConnection& connection) {
        const Bytes reply = frame(request, e2e::good_reply_pdu(request));
        connection.send(Bytes(reply.begin(), reply.begin() + 5));
        connection.close();
    });
    expect_refused(read(), ExchangeStatus::NoConnection, "connection closed by the server");
    expect_usable_afterwards();
    EXPECT_EQ(peer->connections(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Lines, LineFaults,
                         testing::Values(PeerFraming::ModbusTcp, PeerFraming::Rtu,
                                         PeerFraming::Serial),
                         framing_name);
INSTANTIATE_TEST_SUITE_P(Lines, NetworkLineFaults,
                         testing::Values(PeerFraming::ModbusTcp, PeerFraming::Rtu), framing_name);

class ModbusTcpFraming : public LineFaults {};

// A header whose protocol is not 0, or whose length no Modbus TCP frame
// has, leaves the stream unframeable: the line closes the connection, and
// the next request has a new one.
TEST_P(ModbusTcpFraming, AHeaderNoFrameHasClosesTheConnection)
{
    const std::vector<Bytes> headers = {
        {0, 1, 0, 1, 0, 6},     // protocol 1
        {0, 1, 0, 0, 0, 1},     // only a unit, no function
        {0, 1, 0, 0, 0, 255},   // longer than a frame
        {0, 1, 0, 0, 0xFF, 0xFF},
    };
    for (const Bytes& header : headers) {
        start([header](const PeerRequest& request, PeerConnection& connection) {
            Bytes reply = header;
            reply[1] = static_cast<std::uint8_t>(request.transaction);
            reply.insert(reply.end(), {kSlave, 3, 4, 0, 1, 0, 2});
            connection.send(reply);
        });
        FrameLog log;
        line->set_observer(&log);
        expect_refused(read(), ExchangeStatus::BadReply,
                       "the server sent no Modbus TCP frame; connection closed");
        line->set_observer(nullptr);
        ASSERT_EQ(log.frames.size(), 2u);
        EXPECT_EQ(log.frames[1].problem, "not a Modbus TCP frame");
        expect_usable_afterwards();
        EXPECT_EQ(peer->connections(), 2u);
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, ModbusTcpFraming, testing::Values(PeerFraming::ModbusTcp),
                         framing_name);

class RtuOverTcpFraming : public LineFaults {};

TEST_P(RtuOverTcpFraming, ABadCrcIsReportedAndNeverTaken)
{
    start([](const PeerRequest& request, PeerConnection& connection) {
        Bytes reply = e2e::with_peer_crc(e2e::good_reply_pdu(request));
        reply.back() ^= 0x01;
        connection.send(reply);
    });
    expect_refused(read(), ExchangeStatus::BadCrc, "reply with a bad CRC");
    expect_usable_afterwards();
}

// A read reply's byte count gives its length: one that disagrees with the
// registers asked is refused when its frame is whole, and one announcing
// more than a frame holds is waited for until the timeout.
TEST_P(RtuOverTcpFraming, AReadReplyOfAnotherLengthIsRefused)
{
    start([](const PeerRequest& request, PeerConnection& connection) {
        connection.send(request.index == 0 ? e2e::with_peer_crc({kSlave, 3, 2, 0, 1})
                                           : Bytes{kSlave, 3, 255, 0, 1, 0, 2});
    }, 2);
    expect_refused(read(), ExchangeStatus::BadReply, "2 data bytes for 2 registers");
    expect_refused(read(), ExchangeStatus::Timeout, "reply incomplete after 7 bytes");
    expect_usable_afterwards();
}

// A long reply at a low speed reaches the serial server in parts: each
// part must follow the one before within the timeout, not the whole reply
// come within it. Four parts, each 0.4 timeouts after the one before (0.6
// of a timeout left for scheduling), take 1.2 timeouts in all.
TEST_P(RtuOverTcpFraming, AReplyInPartsIsWaitedForWhileEachFollowsWithinTheTimeout)
{
    start([](const PeerRequest& request, PeerConnection& connection) {
        const Bytes reply = e2e::with_peer_crc(e2e::good_reply_pdu(request));
        const std::size_t part = reply.size() / 4 + 1;
        for (std::size_t at = 0; at < reply.size(); at += part) {
            if (at != 0)
                std::this_thread::sleep_for(kTimeout * 2 / 5);
            connection.send(Bytes(reply.begin() + static_cast<long>(at),
                                  reply.begin() + static_cast<long>(std::min(at + part,
                                                                             reply.size()))));
        }
    });
    const Exchange exchange = line->read_registers(kMeter, 100, 20);
    ASSERT_EQ(exchange.status, ExchangeStatus::Ok) << exchange.error;
    EXPECT_EQ(exchange.registers, registers_from(100, 20));
}

// The serial server's line may have carried a frame just before the
// connection was made: the first request on it waits a silence first. At
// 1200 baud that is 29 ms, a lower bound that holds on any machine (the
// line's reply comes back far sooner on loopback, which is what a line
// that does not wait shows).
TEST_P(RtuOverTcpFraming, TheFirstRequestOnAConnectionComesASilenceAfterIt)
{
    constexpr int kSlowBaud = 1200;
    start([](const PeerRequest&, PeerConnection&) {}, 0, kSlowBaud);
    const auto before = std::chrono::steady_clock::now();
    expect_usable_afterwards();
    using std::chrono::microseconds;
    const auto waited = std::chrono::duration_cast<microseconds>(peer->requests().at(0).arrived -
                                                                 before);
    EXPECT_GE(waited.count(), std::chrono::duration_cast<microseconds>(
                                  modbus::inter_frame_silence(kSlowBaud, 'N')).count());
}

INSTANTIATE_TEST_SUITE_P(Lines, RtuOverTcpFraming, testing::Values(PeerFraming::Rtu),
                         framing_name);

// The serial line reads a reply as far as its header declares and judges
// it whole (libmodbus), and a bus carries one reply at a time: a reply from
// another meter is refused, not waited past, and what follows it is flushed
// before the next request.
class SerialLineFaults : public LineFaults {};

TEST_P(SerialLineFaults, AnotherSlavesReplyIsRefusedAndNeverTaken)
{
    start([this](const PeerRequest& request, PeerConnection& connection) {
        Bytes sent = frame(request, from_unit(e2e::good_reply_pdu(request), kSlave + 1));
        if (request.index == 1) {
            const Bytes right = frame(request, e2e::good_reply_pdu(request));
            sent.insert(sent.end(), right.begin(), right.end());
        }
        connection.send(sent);
    }, 2);
    expect_refused(read(), ExchangeStatus::BadReply, "reply from another slave");
    expect_refused(read(), ExchangeStatus::BadReply, "reply from another slave");
    expect_usable_afterwards();
}

TEST_P(SerialLineFaults, ABadCrcIsReportedAndNeverTaken)
{
    start([](const PeerRequest& request, PeerConnection& connection) {
        Bytes reply = e2e::with_peer_crc(e2e::good_reply_pdu(request));
        reply.back() ^= 0x01;
        connection.send(reply);
    });
    FrameLog log;
    line->set_observer(&log);
    expect_refused(read(), ExchangeStatus::BadCrc, "CRC");
    line->set_observer(nullptr);
    ASSERT_EQ(log.frames.size(), 2u);
    EXPECT_EQ(log.frames[1].problem, "bad CRC");
    EXPECT_FALSE(log.frames[1].intact);
    expect_usable_afterwards();
}

// A byte count that disagrees with the registers asked is refused once its
// frame is whole; one announcing more than a frame holds at once.
TEST_P(SerialLineFaults, AReadReplyOfAnotherLengthIsRefused)
{
    start([](const PeerRequest& request, PeerConnection& connection) {
        connection.send(request.index == 0 ? e2e::with_peer_crc({kSlave, 3, 2, 0, 1})
                                           : Bytes{kSlave, 3, 255, 0, 1, 0, 2});
    }, 2);
    expect_refused(read(), ExchangeStatus::BadReply, "2 data bytes for 2 registers");
    expect_refused(read(), ExchangeStatus::BadReply, "Invalid data");
    expect_usable_afterwards();
}

INSTANTIATE_TEST_SUITE_P(Lines, SerialLineFaults, testing::Values(PeerFraming::Serial),
                         framing_name);

}  // namespace
