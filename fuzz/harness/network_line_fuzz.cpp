// The line makes a request (harness/line_requests.h); bytes already waiting
// on the connection (a late reply) come before it, and the server answers it
// with a script of parts, then closes the connection. Then a good request
// must be answered exactly, on a new connection. Checked for every input: a
// reply is taken only when the server sent that very answer, framed for this
// request (its transaction and unit, or its slave and CRC) -- over RTU after
// the request, since what came before it is dropped; nothing else comes back
// in the exchange; no Modbus TCP request has the number of the one before;
// and the good request after it is answered.
//
// Script: the request; the waiting bytes (u8 % 32 of them); then parts,
// each an op (u8 % 7) until the input ends:
//   0  raw bytes: count (u8 % 64), bytes
//   1  a framed PDU: count (u8 % 64), PDU bytes, transaction offset (u8)
//   2  the right answer, framed
//   3  the right answer from another unit: unit (u8)
//   4  the right answer with one byte of its PDU changed: offset, value (u8 each)
//   5  the right answer framed and cut short: length (u8)
//   6  the right answer framed, one byte of the frame (its header or CRC
//      included) changed: offset, value (u8 each)
#include "fuzz/harness/network_line_fuzz.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "devhost/lines/line_factory.h"
#include "devhost/lines/rtu_over_tcp_line.h"
#include "modbus/line_address.h"
#include "fuzz/harness/byte_script.h"
#include "fuzz/harness/fuzz_check.h"
#include "fuzz/harness/line_requests.h"

namespace fuzzharness {

namespace {

using Bytes = LoopbackPeer::Bytes;
using Framing = LoopbackPeer::Framing;

// No reply is waited for to the end (every script ends with a close): the
// timeout is margin for the server thread's scheduling only. A correct line
// never reaches it, so a long one costs nothing.
constexpr int kTimeoutMs = 60000;
constexpr int kAnswerWaitSeconds = 120;
constexpr std::size_t kMostParts = 16;

struct Part {
    int op = 0;
    Bytes bytes;
    std::uint8_t a = 0;
    std::uint8_t b = 0;
};

std::vector<Part> parts_from(ByteScript& script)
{
    std::vector<Part> parts;
    while (!script.done() && parts.size() < kMostParts) {
        Part part;
        part.op = script.u8() % 7;
        if (part.op <= 1)
            part.bytes = script.bytes(script.u8() % 64);
        part.a = script.u8();
        part.b = script.u8();
        parts.push_back(std::move(part));
    }
    return parts;
}

Bytes render(const LoopbackPeer& peer, const LoopbackPeer::Request& request,
             const LineRequest& asked, const std::vector<Part>& parts)
{
    Bytes sent;
    const Bytes answer = answer_pdu(asked);
    for (const Part& part : parts) {
        Bytes piece;
        switch (part.op) {
        case 0: piece = part.bytes; break;
        case 1:
            piece = peer.framed(static_cast<std::uint16_t>(request.transaction + part.a),
                                part.bytes);
            break;
        case 2: piece = peer.framed(request.transaction, answer); break;
        case 3: {
            Bytes other = answer;
            other[0] = part.a;
            piece = peer.framed(request.transaction, other);
            break;
        }
        case 4: {
            Bytes changed = answer;
            changed[part.a % changed.size()] = part.b;
            piece = peer.framed(request.transaction, changed);
            break;
        }
        case 5: {
            const Bytes whole = peer.framed(request.transaction, answer);
            piece.assign(whole.begin(), whole.begin() + static_cast<long>(part.a % whole.size()));
            break;
        }
        default:
            piece = peer.framed(request.transaction, answer);
            piece[part.a % piece.size()] = part.b;
            break;
        }
        sent.insert(sent.end(), piece.begin(), piece.end());
    }
    return sent;
}

bool contains(const Bytes& haystack, const Bytes& needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

// The RTU-over-TCP line's silence before a request (1.75 ms, several times
// an input's work) is not waited for: it is timing, which the line's tests
// hold, and the framing fuzzed here does not depend on it, since bytes the
// peer sends before a request are in the line's receive buffer when send_now
// returns.
void no_wait(std::chrono::steady_clock::time_point) {}

std::unique_ptr<devhost::Line> line_for(const devhost::LineSettings& settings)
{
    modbus::LineAddress address;
    std::string error;
    FUZZ_CHECK(modbus::parse_line_address(settings.port, address, error), error);
    if (address.kind == modbus::LineKind::RtuOverTcp)
        return std::make_unique<devhost::RtuOverTcpLine>(settings, address, no_wait);
    return devhost::make_line(settings);
}

struct Bench {
    explicit Bench(Framing framing) : peer(framing)
    {
        devhost::LineSettings settings;
        settings.port = peer.address();
        settings.baud = 115200;
        line = line_for(settings);
        std::string error;
        FUZZ_CHECK(line->open(error), error);
    }
    LoopbackPeer peer;
    std::unique_ptr<devhost::Line> line;
};

}  // namespace

int fuzz_network_line(Framing framing, const std::uint8_t* data, std::size_t size)
{
    static Bench bench(framing);
    LoopbackPeer& peer = bench.peer;
    devhost::Line& line = *bench.line;

    ByteScript script(data, size);
    const LineRequest asked = request_from(script);
    const Bytes waiting = script.bytes(script.u8() % 32);
    const std::vector<Part> parts = parts_from(script);

    peer.send_now(waiting);
    peer.plan([asked, parts](const LoopbackPeer::Request& request) {
        return render(peer, request, asked, parts);
    }, true);
    const devhost::Exchange exchange = perform(line, asked, kTimeoutMs);
    FUZZ_CHECK(peer.wait_answered(kAnswerWaitSeconds), "the request never reached the server");
    check_exchange(asked, exchange);
    const LoopbackPeer::Request request = peer.last_request();
    FUZZ_CHECK(request.pdu == request_pdu(asked), "the server got another request");
    // A late reply to the request before must never carry this one's number.
    static std::optional<std::uint16_t> previous;
    FUZZ_CHECK(framing == Framing::Rtu || request.transaction != previous,
               "a transaction number used again");
    if (exchange.status == devhost::ExchangeStatus::Ok) {
        Bytes from = peer.last_answer();
        if (framing == Framing::ModbusTcp)
            from.insert(from.begin(), waiting.begin(), waiting.end());
        FUZZ_CHECK(contains(from, peer.framed(request.transaction, taken_pdu(asked, exchange))),
                   "a reply taken that the server never sent for this request");
    }

    const LineRequest good = good_request();
    peer.plan([good](const LoopbackPeer::Request& request) {
        return peer.framed(request.transaction, answer_pdu(good));
    }, false);
    const devhost::Exchange next = perform(line, good, kTimeoutMs);
    previous = peer.last_request().transaction;
    FUZZ_CHECK(next.status == devhost::ExchangeStatus::Ok &&
                   taken_pdu(good, next) == answer_pdu(good),
               std::string("the next good request: ") + devhost::status_name(next.status) + ", " +
                   next.error);
    return 0;
}

}  // namespace fuzzharness
