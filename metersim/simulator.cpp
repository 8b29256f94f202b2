#include "metersim/simulator.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <modbus.h>
#include <poll.h>
#include <unistd.h>

#include "metersim/pseudo_terminal.h"
#include "metersim/request_framing.h"
#include "metersim/rtu_frame.h"
#include "metersim/slave_list.h"
#include "metersim/terminal_watch.h"

namespace metersim {

namespace {

using Clock = std::chrono::steady_clock;

// A pseudo-terminal or a USB adapter hands bytes over in bursts, and the
// serving thread may wake late, so a request whose length its header does
// not tell is given at least this long to finish.
constexpr std::chrono::milliseconds kMinFrameEndSilence{20};

std::uint16_t word_at(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

std::map<int, bool> checked_addresses(const SimulatorOptions& options)
{
    std::map<int, bool> dead_by_slave;
    const auto check = [](int slave) {
        if (slave < kFirstSlave || slave > kLastSlave)
            throw std::invalid_argument("slave address " + std::to_string(slave) +
                                        " is outside 1 to 247");
    };
    if (options.slaves.empty())
        throw std::invalid_argument("no slave address to serve");
    for (int slave : options.slaves) {
        check(slave);
        dead_by_slave[slave] = false;
    }
    for (int slave : options.dead) {
        check(slave);
        if (dead_by_slave.count(slave) == 0)
            throw std::invalid_argument("dead slave " + std::to_string(slave) + " is not served");
        dead_by_slave[slave] = true;
    }
    return dead_by_slave;
}

std::string microseconds(std::chrono::nanoseconds duration)
{
    return std::to_string(duration.count() / 1000) + " us";
}

}  // namespace

Simulator::Simulator(SimulatorOptions options)
    : options_(std::move(options)), faults_(options_.faults)
{
    for (const auto& [slave, dead] : checked_addresses(options_)) {
        const auto own = options_.tables.find(slave);
        Meter meter{own != options_.tables.end() ? RegisterBank(own->second)
                    : options_.table             ? RegisterBank(*options_.table)
                                                 : RegisterBank(slave),
                    dead, 0};
        meters_.emplace(slave, std::move(meter));
    }
}

Simulator::~Simulator()
{
    stop();
    if (thread_.joinable())
        thread_.join();
    if (modbus_ != nullptr) {
        modbus_close(modbus_);
        modbus_free(modbus_);
    }
    for (int fd : wake_)
        if (fd >= 0)
            ::close(fd);
}

void Simulator::open()
{
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
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
        inter_char_timeout(options_.baud, options_.parity), kMinFrameEndSilence);
    receiver_ = std::make_unique<FrameReceiver>(fd_, end_silence, pty_ != nullptr);
    line_baud_ = options_.baud;
    started_ = Clock::now();
    last_request_end_ = started_;
    last_reply_ = {started_, started_};
}

void Simulator::start()
{
    thread_ = std::thread([this] { serve(); });
}

void Simulator::join()
{
    if (thread_.joinable())
        thread_.join();
}

void Simulator::stop()
{
    stopping_ = true;
    if (wake_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wake_[1], &byte, 1);
    }
}

const Simulator::Meter& Simulator::meter(int slave) const
{
    const auto found = meters_.find(slave);
    if (found == meters_.end())
        throw std::invalid_argument("slave " + std::to_string(slave) + " is not on this line");
    return found->second;
}

Simulator::Meter& Simulator::meter(int slave)
{
    return const_cast<Meter&>(static_cast<const Simulator&>(*this).meter(slave));
}

void Simulator::set_dead(int slave, bool dead)
{
    std::lock_guard<std::mutex> lock(mutex_);
    meter(slave).dead = dead;
}

unsigned long Simulator::requests_seen(int slave) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return meter(slave).requests;
}

RegisterValues Simulator::registers() const
{
    return registers(meters_.begin()->first);
}

RegisterValues Simulator::registers(int slave) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return meter(slave).bank.current(seconds_running());
}

std::vector<RequestTiming> Simulator::timings() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return {timings_.begin(), timings_.end()};
}

unsigned long Simulator::frames_rejected() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rejected_;
}

std::vector<TerminalSetUp> Simulator::terminal_setups() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return {setups_.begin(), setups_.end()};
}

double Simulator::seconds_running() const
{
    return std::chrono::duration<double>(Clock::now() - started_).count();
}

void Simulator::log(const std::string& line) const
{
    if (options_.log)
        options_.log(line);
}

void Simulator::serve()
{
    while (!stopping_) {
        const auto deadline = receiver_->silence_deadline();
        timespec wait{};
        if (deadline) {
            const auto left = std::max(*deadline - Clock::now(), Clock::duration::zero());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            wait = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        }
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
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

void Simulator::handle_events()
{
    while (auto event = receiver_->next(Clock::now()))
        std::visit([this](const auto& each) { handle(each); }, *event);
}

void Simulator::handle(const TerminalSetUp& setup)
{
    // The master's set-up ends whatever was on the line: a meter listening
    // cannot know what came before, and a transceiver switching on can put
    // a glitch on it.
    last_setup_ = setup.seen;
    line_baud_ = setup.baud;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (setups_.size() == kTimingLogLength)
            setups_.pop_front();
        setups_.push_back(setup);
    }
    log("line " + port_path_ + " set up at " + std::to_string(setup.baud) + " baud");
}

bool Simulator::receive()
{
    if (receiver_->read_available())
        return true;
    log("line " + port_path_ + " failed: " + std::strerror(errno));
    return false;
}

void Simulator::measure_silence(RequestTiming& timing) const
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

void Simulator::handle(const ReceivedFrame& frame)
{
    const std::vector<std::uint8_t>& bytes = frame.bytes;
    RequestTiming timing;
    timing.slave = bytes[0];
    timing.function = bytes.size() > 1 ? bytes[1] : 0;
    timing.bytes = bytes;
    timing.arrived = frame.first_byte;
    measure_silence(timing);
    timing.baud = line_baud_;
    const auto needed = inter_frame_silence(options_.baud, options_.parity);
    timing.wrong_speed = options_.line_time && line_baud_ != options_.baud;
    // The first frame has nothing before it to run into.
    timing.rejected = options_.line_time && !timing.wrong_speed && frame_seen_ &&
                      !timing.after_setup && timing.gap_before < needed;
    frame_seen_ = true;
    last_request_end_ = std::max(last_request_end_, frame.last_byte);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (timings_.size() == kTimingLogLength)
            timings_.pop_front();
        timings_.push_back(timing);
        rejected_ += timing.rejected;
    }
    const std::string who = "slave " + std::to_string(timing.slave) + ": ";
    if (timing.wrong_speed) {
        // At another speed its bytes come apart into other bytes, with
        // framing errors: no request a meter could take.
        log("bad request: " + std::to_string(bytes.size()) + " bytes sent at " +
            std::to_string(timing.baud) + " baud, garbage at " + std::to_string(options_.baud));
        return;
    }
    if (timing.rejected) {
        // On a real line it would run into the frame before it.
        log(who + "dropped, " + microseconds(timing.gap_before) + " of silence before it (" +
            microseconds(needed) + " needed)");
        return;
    }
    const MeterAnswer reply = answer(bytes);
    if (reply.broken)
        receiver_->discard();
    if (!reply.frame.empty())
        send(bytes.size(), reply, frame.last_byte);
}

bool Simulator::pause(std::chrono::nanoseconds duration)
{
    // Bytes that arrive meanwhile are read at once, so their arrival is timed.
    const auto until = Clock::now() + duration;
    while (!stopping_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0)
            return true;
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {fd_, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) > 0 && (fds[1].revents & POLLIN) &&
            !receive())
            return false;
    }
    return false;
}

MeterAnswer Simulator::answer(const std::vector<std::uint8_t>& request)
{
    const std::string who = "slave " + std::to_string(request[0]) + ": ";
    if (!crc_matches(request.data(), request.size())) {
        log("bad request: " + std::to_string(request.size()) + " bytes with no valid CRC");
        MeterAnswer noise;
        noise.broken = true;
        return noise;
    }
    if (request[0] != kBroadcastAddress) {
        // Only the addressed meter may answer; without it the line stays silent.
        const char* silent = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto found = meters_.find(request[0]);
            if (found == meters_.end())
                silent = "not on this line";
            else if (found->second.dead)
                silent = "dead";
            else
                ++found->second.requests;
        }
        if (silent != nullptr) {
            log(who + silent + ", no answer");
            return {};
        }
    }
    const int length = static_cast<int>(request.size()) - 2;  // without the CRC
    const std::uint8_t slave = request[0];
    const std::uint8_t function = request[1];
    const bool is_write = function == 6 || function == 16;
    const FaultDecision fault = faults_.next(is_write);
    ++requests_;

    Frame reply;
    std::string what;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A broadcast write reaches every live meter; only the first one's
        // outcome matters, as none answers.
        std::vector<RegisterBank*> banks;
        for (auto& [address, meter] : meters_)
            if (!meter.dead && (address == slave || slave == kBroadcastAddress))
                banks.push_back(&meter.bank);
        if (banks.empty())
            return {};  // it went dead meanwhile
        const auto write = [&](int address, const std::vector<std::uint16_t>& values) {
            std::uint8_t code = kIllegalFunction;
            for (RegisterBank* bank : banks)
                code = bank->write(address, values);
            return code;
        };
        const std::uint16_t address = length >= 6 ? word_at(request.data() + 2) : 0;
        const std::uint16_t operand = length >= 6 ? word_at(request.data() + 4) : 0;
        std::uint8_t code = kIllegalFunction;
        if (function == 3 && length == 6) {
            std::vector<std::uint16_t> values;
            code = banks.front()->read(address, operand, seconds_running(), values);
            what = "read " + std::to_string(address) + "+" + std::to_string(operand);
            if (code == 0)
                reply = read_reply(slave, values);
        } else if (function == 6 && length == 6) {
            code = write(address, {operand});
            what = "write " + std::to_string(address) + " = " + std::to_string(operand);
            if (code == 0)
                reply = write_single_echo(slave, address,
                                          static_cast<std::uint16_t>(operand + fault.wrong_echo));
        } else if (function == 16 && length >= 7) {
            const int byte_count = request[6];
            what = "write " + std::to_string(operand) + " registers from " +
                   std::to_string(address);
            code = kIllegalValue;
            if (byte_count == operand * 2 && length == 7 + byte_count) {
                std::vector<std::uint16_t> values;
                for (int i = 0; i < operand; ++i)
                    values.push_back(word_at(request.data() + 7 + 2 * i));
                code = write(address, values);
            }
            if (code == 0)
                reply = write_multiple_echo(slave, address,
                                            static_cast<std::uint16_t>(operand + fault.wrong_echo));
        } else {
            what = "function " + std::to_string(function);
        }
        if (code != 0 || fault.exception)
            reply = exception_reply(slave, function, code != 0 ? code : kFaultExceptionCode);
    }
    if (fault.bad_crc)
        corrupt_crc(reply);

    if (options_.log) {
        std::string faults;
        if (fault.no_reply) faults += " [no reply]";
        if (fault.delay) faults += " [delayed]";
        if (fault.exception) faults += " [exception]";
        if (fault.wrong_echo) faults += " [wrong echo]";
        if (fault.bad_crc) faults += " [bad CRC]";
        options_.log("slave " + std::to_string(slave) + ": " + what + faults);
    }
    if (slave == kBroadcastAddress || fault.no_reply)
        return {};
    return {false, reply, fault.bad_crc,
            fault.delay ? options_.fault_delay : std::chrono::milliseconds(0)};
}

void Simulator::send(std::size_t request_length, const MeterAnswer& reply, Clock::time_point end)
{
    std::chrono::nanoseconds per_byte{0};
    auto start = end;
    if (options_.line_time) {
        // The request reached us at once; on a real line it would still be
        // arriving, and a reply may follow only after the silence that ends it.
        per_byte = byte_time(options_.baud, options_.parity);
        start += per_byte * static_cast<long>(request_length) +
                 inter_frame_silence(options_.baud, options_.parity);
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
