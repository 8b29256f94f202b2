// The simulator's Modbus TCP server (metersim/network_server.h, tcp://): any
// byte stream, sent on a loopback connection in the parts the input chooses,
// is framed by its headers and answered by the meters; a header no frame
// has ends the connection.
//
// Checked for every input, against the Modbus rules (harness/meter_model.h):
// what comes back on the connection is exactly the replies to the whole
// frames before the first broken header (protocol id other than 0, a length
// below 2 or above 254), in order, each under its request's transaction
// number and unit, each as that meter must answer it, none for a dead or
// absent unit or a broadcast; the replies to the requests sent so far come
// without more bytes being sent; a broken header closes the connection
// without the master closing its side; and a good request on a new
// connection afterwards is answered correctly.
//
// Script: the good request for the end (harness/meter_model.h) and its
// transaction number (u16); then ops (u8 % 6) until the input ends:
//   0  raw bytes: count (u8 % 32), bytes
//   1  a request (request_from) in a frame: transaction (u16)
//   2  the same with one byte of the frame changed: offset, value (u8 each)
//   3  a header as given: transaction, protocol, length (u16 each), then
//      a request's body (request_from) whatever the length says
//   4  send: the next u8 % 64 + 1 bytes of those above go out in one send
//   5  wait: send the rest, then wait for the replies to every whole frame
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz/harness/fuzz_check.h"
#include "fuzz/harness/hex_text.h"
#include "fuzz/harness/meter_model.h"
#include "metersim/meters.h"
#include "metersim/network_server.h"
#include "sysio/write_all.h"

namespace {

using fuzzharness::Bytes;
using fuzzharness::hex;
using Clock = std::chrono::steady_clock;

// The server answers at once: the waits are margins for its thread to be
// scheduled. A correct server never reaches them, so long ones cost nothing.
constexpr std::chrono::seconds kReplyWait{120};

void put(Bytes& bytes, unsigned value)
{
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

Bytes mbap(unsigned transaction, unsigned protocol, unsigned length, const Bytes& body)
{
    Bytes frame;
    put(frame, transaction);
    put(frame, protocol);
    put(frame, length);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

unsigned word(const Bytes& bytes, std::size_t at) { return bytes[at] << 8 | bytes[at + 1]; }

// What the stream must get back, framed by the Modbus TCP rules alone.
struct Expectation {
    struct Reply {
        std::size_t frame_end;  // in the stream: the reply is due once this much is sent
        Bytes bytes;
    };
    std::vector<Reply> replies;
    std::optional<std::size_t> broken_end;  // where the first broken header's 6 bytes end
};

Expectation expect(const Bytes& stream, fuzzharness::MeterModel& model)
{
    Expectation expectation;
    std::size_t at = 0;
    while (stream.size() - at >= 6) {
        const unsigned following = word(stream, at + 4);
        if (word(stream, at + 2) != 0 || following < 2 || following > 254) {
            expectation.broken_end = at + 6;
            break;
        }
        if (stream.size() - at < 6 + following)
            break;
        const Bytes body(stream.begin() + static_cast<long>(at + 6),
                         stream.begin() + static_cast<long>(at + 6 + following));
        at += 6 + following;
        if (const auto reply = model.answer(body)) {
            Bytes pdu = reply->pdu;
            if (reply->any_exception)
                pdu[2] = 0;  // any code: compared apart
            expectation.replies.push_back({at, mbap(word(stream, at - 6 - following), 0,
                                                    static_cast<unsigned>(pdu.size()), pdu)});
        }
    }
    return expectation;
}

// Whether the reply received is the one expected: the exception code of a
// request of a malformed length may be any of 1 to 4.
bool same_reply(const Bytes& expected, const Bytes& got)
{
    if (expected.size() != got.size())
        return false;
    if (expected.size() == 9 && (expected[7] & 0x80) && expected[8] == 0)
        return std::equal(got.begin(), got.end() - 1, expected.begin()) && got[8] >= 1 &&
               got[8] <= 4;
    return expected == got;
}

class Connection {
public:
    explicit Connection(int port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        FUZZ_CHECK(fd_ >= 0, std::string("no socket: ") + std::strerror(errno));
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            // Interrupted (libFuzzer's alarm), the connection goes on being made.
            FUZZ_CHECK(errno == EINTR, std::string("cannot connect: ") + std::strerror(errno));
            pollfd writable{fd_, POLLOUT, 0};
            while (::poll(&writable, 1, -1) < 0 && errno == EINTR) {
            }
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
            FUZZ_CHECK(error == 0, std::string("cannot connect: ") + std::strerror(error));
        }
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Connection()
    {
        // Closed at once, with no TIME_WAIT: a long run opens millions.
        const linger reset{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd_);
    }

    // A send the server may refuse once it has closed its side.
    void send(const Bytes& bytes) { (void)sysio::send_all(fd_, bytes.data(), bytes.size()); }
    void close_sending() { ::shutdown(fd_, SHUT_WR); }

    // Reads until `count` bytes have come in all, or the end; false at the
    // wait's end.
    bool receive(std::size_t count, bool to_end)
    {
        const auto deadline = Clock::now() + kReplyWait;
        while (to_end || received_.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now());
            pollfd readable{fd_, POLLIN, 0};
            if (left.count() <= 0)
                return false;
            const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return false;
            std::uint8_t chunk[512];
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                ended_ = true;
                return to_end;
            }
            received_.insert(received_.end(), chunk, chunk + got);
        }
        return true;
    }
    const Bytes& received() const { return received_; }
    bool ended() const { return ended_; }

private:
    int fd_ = -1;
    Bytes received_;
    bool ended_ = false;
};

struct Bench {
    Bench() : meters(model.options()), server(meters, address())
    {
        server.open();
        modbus::LineAddress parsed;
        std::string error;
        FUZZ_CHECK(modbus::parse_line_address(server.address(), parsed, error), error);
        port = parsed.tcp_port;
        server.start();
    }
    static modbus::LineAddress address()
    {
        modbus::LineAddress address;
        address.kind = modbus::LineKind::ModbusTcp;
        address.host = "127.0.0.1";
        return address;
    }
    fuzzharness::MeterModel model;
    metersim::Meters meters;
    metersim::NetworkServer server;
    int port = 0;
};

struct Action {
    enum Kind { Send, SendAllAndWait } kind;
    std::size_t count = 0;
};

void check_replies(const Expectation& expectation, const Bytes& got, std::size_t sent,
                   const Bytes& stream, bool all)
{
    std::size_t at = 0;
    for (const Expectation::Reply& reply : expectation.replies) {
        if (!all && reply.frame_end > sent)
            break;
        const Bytes part(got.begin() + static_cast<long>(std::min(at, got.size())),
                         got.begin() + static_cast<long>(std::min(at + reply.bytes.size(),
                                                                  got.size())));
        FUZZ_CHECK(same_reply(reply.bytes, part),
                   "the stream " + hex(stream) + "\n  got " + hex(got) + "\n  expected " +
                       hex(reply.bytes) + "at " + std::to_string(at));
        at += reply.bytes.size();
    }
    FUZZ_CHECK(!all || at == got.size(),
               "more came back than the replies: " + hex(stream) + "\n  got " + hex(got));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Bench bench;
    fuzzharness::ByteScript script(data, size);
    const Bytes good = fuzzharness::good_request_from(script);
    const unsigned good_transaction = script.u16();

    Bytes stream;
    std::vector<Action> actions;
    for (std::size_t ops = 0; !script.done() && ops < fuzzharness::kMostScriptSteps; ++ops) {
        const int op = script.u8() % 6;
        if (op == 0) {
            const Bytes raw = script.bytes(script.u8() % 32);
            stream.insert(stream.end(), raw.begin(), raw.end());
        } else if (op <= 2) {
            const unsigned transaction = script.u16();
            const Bytes body = fuzzharness::request_from(script);
            Bytes frame = mbap(transaction, 0, static_cast<unsigned>(body.size()), body);
            if (op == 2) {
                const std::size_t at = script.u8() % frame.size();
                frame[at] = script.u8();
            }
            stream.insert(stream.end(), frame.begin(), frame.end());
        } else if (op == 3) {
            const unsigned transaction = script.u16();
            const unsigned protocol = script.u16();
            const unsigned length = script.u16();
            const Bytes frame = mbap(transaction, protocol, length, fuzzharness::request_from(script));
            stream.insert(stream.end(), frame.begin(), frame.end());
        } else if (op == 4) {
            actions.push_back({Action::Send, script.u8() % 64 + 1u});
        } else {
            actions.push_back({Action::SendAllAndWait, 0});
        }
    }
    const Expectation expectation = expect(stream, bench.model);

    {
        Connection connection(bench.port);
        std::size_t sent = 0;
        const auto send = [&](std::size_t count) {
            count = std::min(count, stream.size() - sent);
            connection.send(Bytes(stream.begin() + static_cast<long>(sent),
                                  stream.begin() + static_cast<long>(sent + count)));
            sent += count;
        };
        for (const Action& action : actions) {
            if (action.kind == Action::Send) {
                send(action.count);
                continue;
            }
            send(stream.size());
            std::size_t due = 0;
            for (const Expectation::Reply& reply : expectation.replies)
                if (reply.frame_end <= sent)
                    due += reply.bytes.size();
            FUZZ_CHECK(connection.receive(due, false),
                       "replies due not received: " + hex(stream) + "\n  got " +
                           hex(connection.received()));
            check_replies(expectation, connection.received(), sent, stream, false);
        }
        send(stream.size());
        // A broken header must end the connection from the server's side.
        if (!expectation.broken_end)
            connection.close_sending();
        FUZZ_CHECK(connection.receive(0, true),
                   (expectation.broken_end ? "a broken header left the connection open: "
                                           : "the connection not closed after the master's end: ") +
                       hex(stream) + "\n  got " + hex(connection.received()));
        check_replies(expectation, connection.received(), sent, stream, true);
    }

    // The good request on a new connection: answered exactly.
    const Bytes request = mbap(good_transaction, 0, static_cast<unsigned>(good.size()), good);
    const auto reply = bench.model.answer(good);
    FUZZ_CHECK(reply && !reply->any_exception, "the good request has no answer: " + hex(good));
    const Bytes expected = mbap(good_transaction, 0, static_cast<unsigned>(reply->pdu.size()),
                                reply->pdu);
    Connection fresh(bench.port);
    fresh.send(request);
    FUZZ_CHECK(fresh.receive(expected.size(), false) && fresh.received() == expected,
               "the good request " + hex(request) + "answered " + hex(fresh.received()) +
                   "instead of " + hex(expected));
    return 0;
}
