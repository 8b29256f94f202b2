#include "metersim/serial_server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <modbus.h>
#include <poll.h>

#include "metersim/pseudo_terminal.h"
#include "modbus/frame_timing.h"

namespace metersim {

namespace {

using Clock = std::chrono::steady_clock;

// A pseudo-terminal or a USB adapter hands bytes over in bursts, and the
// serving thread may wake late, so a request whose length its header does
// not tell is given at least this long to finish.
constexpr std::chrono::milliseconds kMinFrameEndSilence{20};

std::string microseconds(std::chrono::nanoseconds duration)
{
    return std::to_string(duration.count() / 1000) + " us";
}

}  // namespace

SerialServer::SerialServer(Meters& meters, SerialOptions options)
    : meters_(meters), options_(std::move(options))
{
}

SerialServer::~SerialServer()
{
    stop();
    join();
    if (modbus_ != nullptr) {
        modbus_close(modbus_);
        modbus_free(modbus_);
    }
}

void SerialServer::open()
{
    wake_.open("pipe: ");
    if (options_.device.empty()) {
        pty_ = std::make_unique<PseudoTerminal>(options_.baud);
        if (!options_.link.empty())
            pty_->link_as(options_.link);
        port_path_ = pty_->path();
        fd_ = pty_->master_fd();
    } else {
        // libmodbus sets the serial device up (speed, parity, raw mode).
        port_path_ = options_.device;
        modbus_ = modbus_new_rtu(port_path_.c_str(), options_.baud, options_.parity, 8, 1);
        if (modbus_ == nullptr)
            throw std::runtime_error("cannot serve on " + port_path_ + ": " +
                                     modbus_strerror(errno));
        if (modbus_connect(modbus_) != 0)
            throw std::runtime_error("cannot open " + port_path_ + ": " + modbus_strerror(errno));
        fd_ = modbus_get_socket(modbus_);
    }
    const auto end_silence = std::max<std::chrono::nanoseconds>(
        modbus::inter_char_timeout(options_.baud, options_.parity), kMinFrameEndSilence);
    receiver_ = std::make_unique<FrameReceiver>(fd_, end_silence, pty_ != nullptr);
    line_baud_ = options_.baud;
    last_request_end_ = Clock::now();
    last_reply_ = {last_request_end_, last_request_end_};
}

void SerialServer::start()
{
    thread_ = std::thread([this] { serve(); });
}

void SerialServer::join()
{
    if (thread_.joinable())
        thread_.join();
}

void SerialServer::stop()
{
    stopping_ = true;
    wake_.wake();
}

void SerialServer::log(const std::string& line) const { meters_.log(line); }

void SerialServer::serve()
{
    while (!stopping_) {
        const auto deadline = receiver_->silence_deadline();
        timespec wait{};
        if (deadline) {
            const auto left = std::max(*deadline - Clock::now(), Clock::duration::zero());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        }
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_.read_fd(), POLLIN, 0}};
        if (::ppoll(fds, 2, deadline ? &wait : nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents != 0)
            break;
        if (fds[0].revents & POLLIN) {
            if (!receive())
                break;
        } else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            log("line " + port_path_ + " closed");
            break;
        }
        handle_events();
    }
}

void SerialServer::handle_events()
{
    while (auto event = receiver_->next(Clock::now()))
        std::visit([this](const auto& each) { handle(each); }, *event);
}

void SerialServer::handle(const TerminalSetUp& setup)
{
    // The master's set-up ends whatever was on the line: a meter listening
    // cannot know what came before, and a transceiver switching on can put
    // a glitch on it.
    last_setup_ = setup.seen;
    line_baud_ = setup.baud;
    setups_.add(setup);
    log("line " + port_path_ + " set up at " + std::to_string(setup.baud) + " baud");
}

bool SerialServer::receive()
{
    if (receiver_->read_available())
        return true;
    log("line " + port_path_ + " failed: " + std::strerror(errno));
    return false;
}

void SerialServer::measure_silence(RequestTiming& timing) const
{
    // A reply sent after this frame began (it waited in the line's buffer
    // while a reply was delayed) did not precede it on the line.
    auto previous_end = last_request_end_;
    if (last_reply_.start <= timing.arrived)
        previous_end = std::max(previous_end, last_reply_.end);
    timing.after_setup = last_setup_ && *last_setup_ > previous_end;
    if (timing.after_setup)
        previous_end = *last_setup_;
    timing.gap_before = std::max(timing.arrived - previous_end, Clock::duration::zero());
}

// With line timing, whether the frame could not have reached a meter: sent at
// another speed, or too soon after the frame before it. Logs why.
bool SerialServer::too_early(RequestTiming& timing)
{
    const auto needed = modbus::inter_frame_silence(options_.baud, options_.parity);
    timing.wrong_speed = options_.line_time && line_baud_ != options_.baud;
    // The first frame has nothing before it to run into.
    timing.rejected = options_.line_time && !timing.wrong_speed && frame_seen_ &&
                      !timing.after_setup && timing.gap_before < needed;
    if (timing.wrong_speed) {
        // At another speed its bytes come apart into other bytes, with
        // framing errors: no request a meter could take.
        log("bad request: " + std::to_string(timing.bytes.size()) + " bytes sent at " +
            std::to_string(timing.baud) + " baud, garbage at " + std::to_string(options_.baud));
    } else if (timing.rejected) {
        // On a real line it would run into the frame before it.
        log("slave " + std::to_string(timing.slave) + ": dropped, " +
            microseconds(timing.gap_before) + " of silence before it (" + microseconds(needed) +
            " needed)");
    }
    return timing.wrong_speed || timing.rejected;
}

void SerialServer::handle(const ReceivedFrame& frame)
{
    RequestTiming timing;
    timing.slave = frame.bytes[0];
    timing.function = frame.bytes.size() > 1 ? frame.bytes[1] : 0;
    timing.bytes = frame.bytes;
    timing.arrived = frame.first_byte;
    measure_silence(timing);
    timing.baud = line_baud_;
    const bool dropped = too_early(timing);
    frame_seen_ = true;
    last_request_end_ = std::max(last_request_end_, frame.last_byte);
    rejected_ += timing.rejected;
    timings_.add(timing);
    if (dropped)
        return;
    const MeterAnswer reply = meters_.answer_rtu(frame.bytes);
    if (reply.broken)
        receiver_->discard();
    if (!reply.frame.empty())
        send(frame.bytes.size(), reply, frame.last_byte);
}

bool SerialServer::pause(std::chrono::nanoseconds duration)
{
    // Bytes that arrive meanwhile are read at once, so their arrival is timed.
    const auto until = Clock::now() + duration;
    while (!stopping_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0)
            return true;
        pollfd fds[2] = {{wake_.read_fd(), POLLIN, 0}, {fd_, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) > 0 && (fds[1].revents & POLLIN) &&
            !receive())
            return false;
    }
    return false;
}

void SerialServer::send(std::size_t request_length, const MeterAnswer& reply,
                        Clock::time_point end)
{
    std::chrono::nanoseconds per_byte{0};
    auto start = end;
    if (options_.line_time) {
        // The request reached us at once; on a real line it would still be
        // arriving, and a reply may follow only after the silence that ends it.
        per_byte = modbus::wire_time(options_.baud, options_.parity, 1);
        start += per_byte * static_cast<long>(request_length) +
                 modbus::inter_frame_silence(options_.baud, options_.parity);
    }
    if (reply.delay.count() > 0) {
        if (!pause(reply.delay))
            return;
        start = std::max(start, Clock::now());
    }
    if (write_frame(fd_, reply.frame.data(), reply.frame.size(), per_byte, start, &last_reply_))
        ++replies_;
    else
        log(std::string("reply not sent: ") + std::strerror(errno));
}

}  // namespace metersim
