// The Modbus judgement every line shares (devhost::Line) with any reply a
// line's carrier can hand over as intact: the serial line's after libmodbus
// took it off the wire, a network line's after its framing. Checked: the
// request is built as Modbus says; a reply is taken only when it answers
// the request exactly (function, byte count and data of a read; function,
// register and echo of a write), and what the exchange gives back is read
// from that reply; the reply is handed over in a buffer of exactly its size,
// so that a read past it is caught; the next good request is answered.
//
// Script: the request (harness/line_requests.h), then the reply bytes
// (address, function, data) to the end of the input.
#include <cstdint>
#include <string>
#include <vector>

#include "devhost/lines/line.h"
#include "fuzz/harness/byte_script.h"
#include "fuzz/harness/fuzz_check.h"
#include "fuzz/harness/hex_text.h"
#include "fuzz/harness/line_requests.h"
#include "fuzz/harness/scripted_line.h"

namespace {

using fuzzharness::Bytes;
using fuzzharness::hex;
using fuzzharness::ScriptedLine;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzharness::ByteScript script(data, size);
    const fuzzharness::LineRequest request = fuzzharness::request_from(script);
    ScriptedLine line;
    line.reply = script.bytes(size);

    const devhost::Exchange exchange = fuzzharness::perform(line, request, 500);
    FUZZ_CHECK(line.last_request == fuzzharness::request_pdu(request), "request " + hex(line.last_request));
    fuzzharness::check_exchange(request, exchange);
    if (exchange.status == devhost::ExchangeStatus::Ok) {
        // Only the meter's address is the carrier's to check.
        Bytes taken = fuzzharness::taken_pdu(request, exchange);
        FUZZ_CHECK(line.reply.size() == taken.size() &&
                       Bytes(line.reply.begin() + 1, line.reply.end()) ==
                           Bytes(taken.begin() + 1, taken.end()),
                   "took " + hex(line.reply) + " as " + hex(taken));
    }

    const fuzzharness::LineRequest good = fuzzharness::good_request();
    line.reply = fuzzharness::answer_pdu(good);
    const devhost::Exchange next = fuzzharness::perform(line, good, 500);
    FUZZ_CHECK(next.status == devhost::ExchangeStatus::Ok &&
                   fuzzharness::taken_pdu(good, next) == line.reply,
               "the next good request: " + next.error);
    return 0;
}
