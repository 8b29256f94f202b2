// The simulator's serial framing (metersim/frame_receiver.h) as a meter
// frames what a master puts on its line, read here from a pipe so that
// every silence is a time the test names: a request ends where its header
// says, bytes of no known length at a silence after the last of them, a
// frame longer than Modbus allows at the silence whole, and what followed a
// broken frame is dropped with it.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <variant>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "metersim/frame_receiver.h"
#include "tests/e2e/scripted_peer.h"

namespace {

using e2e::Bytes;
using Clock = std::chrono::steady_clock;

// Longer than any test takes: only the times the tests name end a frame.
constexpr std::chrono::hours kEndSilence{1};

class SerialFraming : public testing::Test {
protected:
    SerialFraming()
    {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
            throw std::runtime_error("no pipe");
        read_fd_ = fds[0];
        write_fd_ = fds[1];
        receiver_.emplace(read_fd_, kEndSilence);
    }
    ~SerialFraming() override
    {
        ::close(read_fd_);
        ::close(write_fd_);
    }

    // The bytes reach the line and the receiver reads all of them, each
    // read stamped later than anything before it.
    void arrive(const Bytes& bytes)
    {
        const auto before = Clock::now();
        while (Clock::now() == before) {
        }
        ASSERT_EQ(::write(write_fd_, bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
        for (int waiting = 1; waiting > 0;) {
            ASSERT_TRUE(receiver_->read_available());
            ASSERT_EQ(::ioctl(read_fd_, FIONREAD, &waiting), 0);
        }
    }

    // The next frame at `now`, or none.
    std::optional<Bytes> frame_at(Clock::time_point now)
    {
        const auto event = receiver_->next(now);
        if (!event)
            return std::nullopt;
        const auto* frame = std::get_if<metersim::ReceivedFrame>(&*event);
        if (frame == nullptr) {
            ADD_FAILURE() << "a terminal set-up on a pipe";
            return std::nullopt;
        }
        return frame->bytes;
    }

    std::optional<metersim::FrameReceiver> receiver_;

private:
    int read_fd_ = -1;
    int write_fd_ = -1;
};

Bytes joined(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(SerialFraming, RequestsEndWhereTheirHeaderSaysWithNoSilenceBetween)
{
    const Bytes read = e2e::with_peer_crc({1, 3, 0, 10, 0, 2});
    const Bytes write = e2e::with_peer_crc({1, 16, 0, 20, 0, 2, 4, 0, 1, 0, 2});
    arrive(joined(read, Bytes(write.begin(), write.begin() + 5)));
    const auto now = Clock::now();
    EXPECT_EQ(frame_at(now), read);
    EXPECT_EQ(frame_at(now), std::nullopt) << "a request taken before it was whole";
    arrive(Bytes(write.begin() + 5, write.end()));
    EXPECT_EQ(frame_at(Clock::now()), write);
}

// A function whose requests' length the header does not give: the frame
// ends a silence after its last byte, not its first.
TEST_F(SerialFraming, BytesOfNoKnownLengthEndASilenceAfterTheLastOfThem)
{
    arrive({1, 43, 14});
    arrive({1, 0});
    const auto ends = receiver_->silence_deadline();
    ASSERT_TRUE(ends.has_value());
    EXPECT_EQ(frame_at(*ends - std::chrono::nanoseconds(1)), std::nullopt);
    EXPECT_EQ(frame_at(*ends), (Bytes{1, 43, 14, 1, 0}));
}

// A multiple write whose byte count makes it longer than a Modbus frame
// (256 bytes) is no request: what came is one frame at the silence, not a
// frame of the length it declares followed by another.
TEST_F(SerialFraming, AFrameLongerThanModbusAllowsEndsAtTheSilenceWhole)
{
    Bytes oversized{1, 16, 0, 10, 0, 125, 250};
    oversized.resize(7 + 250 + 2 + 20, 0x55);
    arrive(oversized);
    const auto ends = receiver_->silence_deadline();
    ASSERT_TRUE(ends.has_value());
    EXPECT_EQ(frame_at(*ends - std::chrono::nanoseconds(1)), std::nullopt);
    EXPECT_EQ(frame_at(*ends), oversized);
}

// As a meter does after a frame with a bad CRC: what it holds is dropped,
// and the next request is framed on its own.
TEST_F(SerialFraming, DiscardDropsWhatCameWithABrokenFrame)
{
    Bytes damaged = e2e::with_peer_crc({1, 3, 0, 10, 0, 2});
    damaged.back() ^= 0x01;
    const Bytes next = e2e::with_peer_crc({1, 3, 0, 30, 0, 1});
    arrive(joined(damaged, Bytes(next.begin(), next.begin() + 5)));
    EXPECT_EQ(frame_at(Clock::now()), damaged);
    receiver_->discard();
    EXPECT_EQ(frame_at(Clock::now() + 2 * kEndSilence), std::nullopt);
    arrive(next);
    EXPECT_EQ(frame_at(Clock::now()), next);
}

}  // namespace
