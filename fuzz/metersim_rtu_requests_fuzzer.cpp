// The simulator's serial line: any bytes, arriving in any chunks with
// silences where the input puts them, are framed into requests by the
// serial server's receiver (metersim/frame_receiver.h, reading a pipe here
// instead of a pseudo-terminal) and answered by the meters, each frame as
// SerialServer::handle does: the meters answer it, and a frame without a
// valid CRC makes the receiver drop what it holds. Silences are told to the
// receiver as the time it is asked at, so no input waits.
//
// Checked for every input, against the Modbus rules (harness/meter_model.h):
// the frames are the bytes received in order, none left out but those
// dropped after a broken frame, and none longer than the length its function
// declares; a frame is answered only when its CRC is right and a live meter
// is addressed, and then exactly as that meter must answer it (data or echo,
// or the exception, with the right CRC); a request sent after a silence is
// one frame; and after all that and a silence, a good request sent in
// chunks is answered correctly.
//
// Script: the good request for the end (harness/meter_model.h), its chunk
// size (u8 % 16 + 1); then ops (u8 % 5) until the input ends:
//   0  raw bytes: count (u8 % 32), bytes
//   1  a request (request_from) with its CRC
//   2  a request with its CRC, one byte changed: offset, value (u8 each)
//   3  deliver: the next u8 % 64 + 1 bytes of those above go on the line
//   4  silence: what is buffered counts as a frame
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <variant>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "fuzz/harness/fuzz_check.h"
#include "fuzz/harness/hex_text.h"
#include "fuzz/harness/meter_model.h"
#include "metersim/frame_receiver.h"
#include "metersim/meters.h"

namespace {

using fuzzharness::Bytes;
using fuzzharness::hex;
using Clock = std::chrono::steady_clock;

// Longer than any input takes: only the silences the script tells end a frame.
constexpr std::chrono::hours kEndSilence{1};

// Modbus's request lengths by function code, where the code tells them and
// the frame fits on a line (256 bytes); 0 otherwise.
std::size_t declared_length(const Bytes& frame)
{
    if (frame.size() < 2)
        return 0;
    switch (frame[1]) {
    case 1: case 2: case 3: case 4: case 5: case 6: return 8;
    case 15: case 16: return frame.size() >= 7 && frame[6] <= 247 ? 9u + frame[6] : 0;
    default: return 0;
    }
}

class Line {
public:
    Line() : model_(), meters_(model_.options())
    {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
            std::abort();
        read_fd_ = fds[0];
        write_fd_ = fds[1];
        receiver_.emplace(read_fd_, kEndSilence);
    }
    ~Line()
    {
        ::close(read_fd_);
        ::close(write_fd_);
    }

    // The bytes reach the line; the server reads and frames them at once.
    void deliver(const Bytes& bytes)
    {
        if (bytes.empty())
            return;
        FUZZ_CHECK(::write(write_fd_, bytes.data(), bytes.size()) ==
                       static_cast<ssize_t>(bytes.size()),
                   "the pipe took less");
        sent_.insert(sent_.end(), bytes.begin(), bytes.end());
        for (;;) {
            const std::size_t before = pending();
            if (before == 0)
                break;
            FUZZ_CHECK(receiver_->read_available(), "the receiver failed to read");
            read_ += before - pending();
            handle(Clock::now());
        }
    }

    void silence() { handle(Clock::now() + 2 * kEndSilence); }

    // A request sent after a silence: it must come as one frame.
    void expect_whole(const Bytes& frame) { whole_ = frame; }

    // Whether the last frame handled was answered, and with what.
    const Bytes& last_reply() const { return last_reply_; }
    unsigned long frames() const { return frames_; }
    bool idle() const { return read_ == taken_; }

private:
    std::size_t pending() const
    {
        int count = 0;
        FUZZ_CHECK(::ioctl(read_fd_, FIONREAD, &count) == 0, "FIONREAD");
        return static_cast<std::size_t>(count);
    }

    // What SerialServer::handle_events and handle(const ReceivedFrame&) do.
    void handle(Clock::time_point now)
    {
        while (auto event = receiver_->next(now)) {
            const auto* frame = std::get_if<metersim::ReceivedFrame>(&*event);
            FUZZ_CHECK(frame != nullptr, "a terminal set-up on a pipe");
            check_framing(frame->bytes);
            const metersim::MeterAnswer answer = meters_.answer_rtu(frame->bytes);
            check_answer(frame->bytes, answer);
            if (answer.broken) {
                receiver_->discard();
                taken_ = read_;  // what it held is gone
            }
        }
    }

    void check_framing(const Bytes& frame)
    {
        ++frames_;
        FUZZ_CHECK(!frame.empty() && taken_ + frame.size() <= read_,
                   "a frame of " + std::to_string(frame.size()) + " bytes, " +
                       std::to_string(read_ - taken_) + " received");
        FUZZ_CHECK(std::equal(frame.begin(), frame.end(), sent_.begin() + static_cast<long>(taken_)),
                   "a frame that is not the next bytes received: " + hex(frame));
        taken_ += frame.size();
        const std::size_t declared = declared_length(frame);
        FUZZ_CHECK(declared == 0 || frame.size() <= declared,
                   "a frame longer than its function declares: " + hex(frame));
        if (whole_) {
            FUZZ_CHECK(frame == *whole_, "a request after a silence framed as " + hex(frame) +
                                             "instead of " + hex(*whole_));
            whole_.reset();
        }
    }

    void check_answer(const Bytes& frame, const metersim::MeterAnswer& answer)
    {
        last_reply_ = answer.frame;
        const bool valid = frame.size() >= 4 && fuzzharness::crc_ok(frame);
        FUZZ_CHECK(answer.broken == !valid, "a frame judged broken wrongly: " + hex(frame));
        FUZZ_CHECK(!answer.damaged && answer.delay.count() == 0, "a fault with none planned");
        if (!valid) {
            FUZZ_CHECK(answer.frame.empty(), "a frame with no valid CRC answered: " + hex(frame));
            return;
        }
        const auto expected = model_.answer(Bytes(frame.begin(), frame.end() - 2));
        if (!expected) {
            FUZZ_CHECK(answer.frame.empty(), "answered for no live meter: " + hex(frame) +
                                                 "-> " + hex(answer.frame));
            return;
        }
        FUZZ_CHECK(answer.frame.size() >= 4 && fuzzharness::crc_ok(answer.frame),
                   "a reply without its CRC: " + hex(frame) + "-> " + hex(answer.frame));
        const Bytes pdu(answer.frame.begin(), answer.frame.end() - 2);
        FUZZ_CHECK(fuzzharness::MeterModel::matches(*expected, pdu),
                   "the request " + hex(frame) + "answered " + hex(pdu) + "instead of " +
                       hex(expected->pdu));
    }

    fuzzharness::MeterModel model_;
    metersim::Meters meters_;
    int read_fd_ = -1;
    int write_fd_ = -1;
    std::optional<metersim::FrameReceiver> receiver_;
    Bytes sent_;
    std::size_t read_ = 0;   // bytes of sent_ the receiver has read
    std::size_t taken_ = 0;  // bytes of sent_ framed or dropped
    std::optional<Bytes> whole_;
    Bytes last_reply_;
    unsigned long frames_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzharness::ByteScript script(data, size);
    const Bytes good = fuzzharness::with_crc(fuzzharness::good_request_from(script));
    const std::size_t good_chunk = script.u8() % 16 + 1;

    Line line;
    Bytes queued;
    std::size_t ops = 0;
    bool after_silence = true;  // the line was silent before the input
    while (!script.done() && ops++ < fuzzharness::kMostScriptSteps) {
        const int op = script.u8() % 5;
        Bytes added;
        if (op == 0) {
            added = script.bytes(script.u8() % 32);
        } else if (op <= 2) {
            added = fuzzharness::with_crc(fuzzharness::request_from(script));
            if (op == 2) {
                const std::size_t at = script.u8() % added.size();
                added[at] = script.u8();
            } else if (after_silence && queued.empty() && line.idle() &&
                       declared_length(added) == added.size()) {
                line.expect_whole(added);
            }
        } else if (op == 3) {
            const std::size_t count = std::min<std::size_t>(script.u8() % 64 + 1, queued.size());
            line.deliver(Bytes(queued.begin(), queued.begin() + static_cast<long>(count)));
            queued.erase(queued.begin(), queued.begin() + static_cast<long>(count));
        } else {
            line.deliver(queued);
            queued.clear();
            line.silence();
        }
        if (!added.empty())
            after_silence = false;
        queued.insert(queued.end(), added.begin(), added.end());
        if (op == 4)
            after_silence = true;
    }
    line.deliver(queued);
    line.silence();
    FUZZ_CHECK(line.idle(), "bytes left unframed after a silence");

    // The good request, in chunks, after the silence: one frame, answered.
    const unsigned long before = line.frames();
    line.expect_whole(good);
    for (std::size_t at = 0; at < good.size(); at += good_chunk)
        line.deliver(Bytes(good.begin() + static_cast<long>(at),
                           good.begin() + static_cast<long>(std::min(good.size(), at + good_chunk))));
    FUZZ_CHECK(line.frames() == before + 1 && line.idle(),
               "the good request " + hex(good) + "not framed on its own");
    FUZZ_CHECK(!line.last_reply().empty(), "the good request " + hex(good) + "not answered");
    return 0;
}
