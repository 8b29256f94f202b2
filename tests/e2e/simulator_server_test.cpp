// The simulator's network server driven by a bare client socket on
// 127.0.0.1, framing requests as a master might send them: split across
// segments, two in one segment, a header no frame has, and a second
// connection while the first is served.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/scripted_peer.h"
#include "tests/e2e/served_bus.h"
#include "sysio/write_all.h"

namespace {

using e2e::Bytes;
using e2e::PeerFraming;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A reply the simulator sends at once; the wait is margin for scheduling.
constexpr auto kReplyWait = 5s;
// How long a client that must not be answered yet is watched: a reply sent
// at once would come within microseconds, so this is margin enough that
// one sent wrongly is seen on any machine.
constexpr auto kNoReplyWatch = 300ms;

metersim::RegisterValues counting_table()
{
    metersim::RegisterValues table{};
    for (std::size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<std::uint16_t>(500 + i);
    return table;
}

e2e::ServedBus serve(modbus::LineKind kind)
{
    metersim::SimulatorOptions options;
    options.slaves = {1, 2};
    options.table = counting_table();
    return e2e::serve_bus(std::move(options), kind);
}

// A client connection to the bus's port.
class Client {
public:
    explicit Client(const std::string& address)
    {
        const int port = std::stoi(address.substr(address.rfind(':') + 1));
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(static_cast<std::uint16_t>(port));
        peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0)
            ADD_FAILURE() << "cannot connect to " << address;
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Client() { close(); }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    void send(const Bytes& bytes) { ASSERT_TRUE(sysio::send_all(fd_, bytes.data(), bytes.size())); }
    // Once the server may have closed, a send may fail.
    void send_unchecked(const Bytes& bytes) { (void)sysio::send_all(fd_, bytes.data(), bytes.size()); }

    // Exactly `count` bytes, or what came before the wait ended or the
    // server closed the connection.
    Bytes receive(std::size_t count, std::chrono::milliseconds wait)
    {
        Bytes got;
        const auto deadline = Clock::now() + wait;
        while (got.size() < count) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd item{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&item, 1, static_cast<int>(left.count())) <= 0)
                break;
            std::uint8_t chunk[512];
            const ssize_t n = ::recv(fd_, chunk, std::min(sizeof chunk, count - got.size()), 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }
    bool closed_by_server() const { return closed_; }

private:
    int fd_ = -1;
    bool closed_ = false;
};

Bytes read_pdu(std::uint8_t unit, std::uint16_t address, std::uint16_t count)
{
    return {unit, 3, static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address),
            static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count)};
}

Bytes read_reply_pdu(std::uint8_t unit, std::uint16_t address, std::uint16_t count)
{
    Bytes pdu{unit, 3, static_cast<std::uint8_t>(2 * count)};
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::uint16_t word = counting_table()[address - 10 + i];
        pdu.push_back(static_cast<std::uint8_t>(word >> 8));
        pdu.push_back(static_cast<std::uint8_t>(word));
    }
    return pdu;
}

Bytes mbap(std::uint16_t transaction, const Bytes& pdu)
{
    return e2e::peer_frame(PeerFraming::ModbusTcp, transaction, pdu);
}

TEST(SimulatorNetworkServer, AModbusTcpRequestSplitAcrossSegmentsIsJoined)
{
    auto bus = serve(modbus::LineKind::ModbusTcp);
    Client client(bus.port);
    const Bytes request = mbap(0x1234, read_pdu(2, 20, 3));
    for (std::size_t cut : {3u, 7u}) {
        client.send(Bytes(request.begin(), request.begin() + static_cast<long>(cut)));
        EXPECT_TRUE(client.receive(1, 50ms).empty()) << "answered before the request was whole";
        client.send(Bytes(request.begin() + static_cast<long>(cut), request.end()));
        const Bytes expected = mbap(0x1234, read_reply_pdu(2, 20, 3));
        EXPECT_EQ(client.receive(expected.size(), kReplyWait), expected) << "cut at " << cut;
    }
}

// Two requests in one segment, over either framing: two replies, in order.
TEST(SimulatorNetworkServer, TwoRequestsInOneSegmentAreBothAnswered)
{
    auto tcp = serve(modbus::LineKind::ModbusTcp);
    Client client(tcp.port);
    Bytes both = mbap(7, read_pdu(1, 10, 1));
    const Bytes second = mbap(8, read_pdu(2, 30, 2));
    both.insert(both.end(), second.begin(), second.end());
    client.send(both);
    Bytes expected = mbap(7, read_reply_pdu(1, 10, 1));
    const Bytes second_reply = mbap(8, read_reply_pdu(2, 30, 2));
    expected.insert(expected.end(), second_reply.begin(), second_reply.end());
    EXPECT_EQ(client.receive(expected.size(), kReplyWait), expected);

    auto rtu = serve(modbus::LineKind::RtuOverTcp);
    Client rtu_client(rtu.port);
    both = e2e::with_peer_crc(read_pdu(1, 10, 1));
    const Bytes rtu_second = e2e::with_peer_crc(read_pdu(2, 30, 2));
    both.insert(both.end(), rtu_second.begin(), rtu_second.end());
    rtu_client.send(both);
    expected = e2e::with_peer_crc(read_reply_pdu(1, 10, 1));
    const Bytes rtu_second_reply = e2e::with_peer_crc(read_reply_pdu(2, 30, 2));
    expected.insert(expected.end(), rtu_second_reply.begin(), rtu_second_reply.end());
    EXPECT_EQ(rtu_client.receive(expected.size(), kReplyWait), expected);
}

// Over RTU frames, as a meter on a serial line: a frame with a bad CRC
// drops what came with it, so a request right behind it in the same segment
// goes unanswered, and the next request, sent once the server has taken
// the damaged one in, is answered on its own.
TEST(SimulatorNetworkServer, WhatCameWithADamagedRtuFrameIsDroppedWithIt)
{
    auto bus = serve(modbus::LineKind::RtuOverTcp);
    Client client(bus.port);
    Bytes damaged = e2e::with_peer_crc(read_pdu(1, 10, 1));
    damaged.back() ^= 0x01;
    const Bytes behind = e2e::with_peer_crc(read_pdu(1, 11, 1));
    damaged.insert(damaged.end(), behind.begin(), behind.end());
    client.send(damaged);
    const auto deadline = Clock::now() + kReplyWait;
    while (bus.timings().empty() && Clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_FALSE(bus.timings().empty()) << "the damaged frame never reached the server";

    client.send(e2e::with_peer_crc(read_pdu(2, 30, 2)));
    const Bytes expected = e2e::with_peer_crc(read_reply_pdu(2, 30, 2));
    EXPECT_EQ(client.receive(expected.size(), kReplyWait), expected);
}

// A header no Modbus TCP frame has leaves no way to find the next frame:
// the server closes the connection, and serves the next one.
TEST(SimulatorNetworkServer, ABrokenHeaderClosesTheConnection)
{
    auto bus = serve(modbus::LineKind::ModbusTcp);
    const Bytes headers[] = {
        {0, 1, 0, 1, 0, 6, 1, 3, 0, 10, 0, 1},  // protocol 1
        {0, 1, 0, 0, 0, 1, 1},                  // a unit and no function
        {0, 1, 0, 0, 1, 0},                     // longer than a frame
    };
    for (const Bytes& header : headers) {
        Client client(bus.port);
        client.send(header);
        EXPECT_TRUE(client.receive(1, kReplyWait).empty());
        EXPECT_TRUE(client.closed_by_server());
    }
    Client client(bus.port);
    client.send(mbap(1, read_pdu(1, 10, 1)));
    const Bytes expected = mbap(1, read_reply_pdu(1, 10, 1));
    EXPECT_EQ(client.receive(expected.size(), kReplyWait), expected);
}

// The replies to every request before a broken header come back before the
// connection ends, while the master goes on sending after it: a server that
// closes with bytes unread resets the connection, and the bytes that then
// keep coming are answered with resets that can throw away replies still on
// their way. Each round cuts the stream at another place.
TEST(SimulatorNetworkServer, RepliesBeforeABrokenHeaderAllArriveBeforeTheEnd)
{
    auto bus = serve(modbus::LineKind::ModbusTcp);
    Bytes stream;
    Bytes expected;
    for (std::uint16_t i = 0; i < 30; ++i) {
        const Bytes request = mbap(i, read_pdu(1, static_cast<std::uint16_t>(10 + i), 1));
        const Bytes reply = mbap(i, read_reply_pdu(1, static_cast<std::uint16_t>(10 + i), 1));
        stream.insert(stream.end(), request.begin(), request.end());
        expected.insert(expected.end(), reply.begin(), reply.end());
    }
    stream.insert(stream.end(), {0, 1, 0, 1, 0, 6});  // protocol 1
    for (std::size_t round = 0; round < 200; ++round) {
        Client client(bus.port);
        const auto cut = stream.begin() + static_cast<long>((round * 37) % stream.size());
        client.send(Bytes(stream.begin(), cut));
        client.send(Bytes(cut, stream.end()));
        for (int more = 0; more < 50; ++more)
            client.send_unchecked(Bytes(64, 0x55));
        const Bytes got = client.receive(expected.size() + 1, kReplyWait);
        ASSERT_EQ(got.size(), expected.size()) << "round " << round;
        EXPECT_TRUE(got == expected) << "round " << round;
        EXPECT_TRUE(client.closed_by_server()) << "round " << round;
    }
}

// One connection is served at a time: a second waits, unanswered, until
// the first closes, and is then served.
TEST(SimulatorNetworkServer, ASecondConnectionWaitsForTheFirstToClose)
{
    auto bus = serve(modbus::LineKind::ModbusTcp);
    Client first(bus.port);
    const Bytes request = mbap(1, read_pdu(1, 10, 1));
    const Bytes reply = mbap(1, read_reply_pdu(1, 10, 1));
    first.send(request);
    ASSERT_EQ(first.receive(reply.size(), kReplyWait), reply);

    Client second(bus.port);
    second.send(request);
    EXPECT_TRUE(second.receive(1, kNoReplyWatch).empty());
    first.send(request);
    EXPECT_EQ(first.receive(reply.size(), kReplyWait), reply) << "the first is still served";
    first.close();
    EXPECT_EQ(second.receive(reply.size(), kReplyWait), reply);
    EXPECT_EQ(bus.server->connections(), 2u);
}

}  // namespace
