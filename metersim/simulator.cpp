#include "simulator.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <modbus.h>
#include <poll.h>
#include <unistd.h>

#include "line_timing.h"
#include "pseudo_terminal.h"
#include "rtu_frame.h"

namespace metersim {

namespace {

std::uint16_t word_at(const std::uint8_t* bytes) { return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]); }

RegisterBank make_bank(const SimulatorOptions& options)
{
    return options.table ? RegisterBank(*options.table) : RegisterBank();
}

}  // namespace

Simulator::Simulator(SimulatorOptions options)
    : options_(std::move(options)), faults_(options_.faults), bank_(make_bank(options_))
{
}

Simulator::~Simulator()
{
    stop();
    if (thread_.joinable())
        thread_.join();
    if (modbus_ != nullptr) {
        if (pty_)
            modbus_set_socket(modbus_, -1);  // the pseudo-terminal closes its own descriptors
        else
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
    const bool on_device = !options_.device.empty();
    if (!on_device) {
        pty_ = std::make_unique<PseudoTerminal>();
        if (!options_.link.empty())
            pty_->link_as(options_.link);
    }
    port_path_ = on_device ? options_.device : pty_->path();
    modbus_ = modbus_new_rtu(port_path_.c_str(), options_.baud, options_.parity, 8, 1);
    if (modbus_ == nullptr)
        throw std::runtime_error("cannot serve on " + port_path_ + ": " +
                                 modbus_strerror(errno));
    modbus_set_slave(modbus_, options_.slave);
    if (on_device) {
        if (modbus_connect(modbus_) != 0)
            throw std::runtime_error("cannot open " + port_path_ + ": " + modbus_strerror(errno));
    } else {
        modbus_set_socket(modbus_, pty_->master_fd());
    }
    fd_ = modbus_get_socket(modbus_);
    started_ = std::chrono::steady_clock::now();
}

void Simulator::start()
{
    thread_ = std::thread([this] { serve(); });
}

void Simulator::stop()
{
    stopping_ = true;
    if (wake_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wake_[1], &byte, 1);
    }
}

RegisterValues Simulator::registers() const
{
    std::lock_guard<std::mutex> lock(bank_mutex_);
    return bank_.current(seconds_running());
}

double Simulator::seconds_running() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

void Simulator::serve()
{
    while (!stopping_) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents != 0)
            break;
        if (fds[0].revents & POLLIN)
            serve_one();
        else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            if (options_.log)
                options_.log("line " + port_path_ + " closed");
            break;
        }
    }
}

void Simulator::serve_one()
{
    std::uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
    const int length = modbus_receive(modbus_, request);
    if (length > 0) {
        answer(request, length);
    } else if (length < 0) {
        // A broken or partial frame: drop whatever is left of it.
        if (options_.log)
            options_.log(std::string("bad request: ") + modbus_strerror(errno));
        modbus_flush(modbus_);
    }
}

bool Simulator::pause(std::chrono::nanoseconds duration)
{
    const auto until = std::chrono::steady_clock::now() + duration;
    while (!stopping_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        pollfd wake = {wake_[0], POLLIN, 0};
        ::poll(&wake, 1, static_cast<int>(left.count()));
    }
    return false;
}

void Simulator::answer(const std::uint8_t* request, int length)
{
    const auto received = std::chrono::steady_clock::now();
    const std::uint8_t slave = request[0];
    const std::uint8_t function = request[1];
    const bool is_write = function == 6 || function == 16;
    const FaultDecision fault = faults_.next(is_write);
    ++requests_;

    Frame reply;
    std::string what;
    {
        std::lock_guard<std::mutex> lock(bank_mutex_);
        const std::uint16_t address = length >= 6 ? word_at(request + 2) : 0;
        const std::uint16_t operand = length >= 6 ? word_at(request + 4) : 0;
        std::uint8_t code = kIllegalFunction;
        if (function == 3 && length == 8) {
            std::vector<std::uint16_t> values;
            code = bank_.read(address, operand, seconds_running(), values);
            what = "read " + std::to_string(address) + "+" + std::to_string(operand);
            if (code == 0)
                reply = read_reply(slave, values);
        } else if (function == 6 && length == 8) {
            code = bank_.write(address, {operand});
            what = "write " + std::to_string(address) + " = " + std::to_string(operand);
            if (code == 0)
                reply = write_single_echo(slave, address,
                                          static_cast<std::uint16_t>(operand + fault.wrong_echo));
        } else if (function == 16 && length >= 9) {
            const int byte_count = request[6];
            what = "write " + std::to_string(operand) + " registers from " + std::to_string(address);
            code = kIllegalValue;
            if (byte_count == operand * 2 && length == 9 + byte_count) {
                std::vector<std::uint16_t> values;
                for (int i = 0; i < operand; ++i)
                    values.push_back(word_at(request + 7 + 2 * i));
                code = bank_.write(address, values);
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
        options_.log(what + faults);
    }
    if (slave == MODBUS_BROADCAST_ADDRESS || fault.no_reply)
        return;

    std::chrono::nanoseconds per_byte{0};
    auto start = received;
    if (options_.line_time) {
        // The request reached us at once; on a real line it would still be
        // arriving, and a reply may follow only after 3.5 characters of silence.
        per_byte = byte_time(options_.baud, options_.parity);
        start += per_byte * length + per_byte * 7 / 2;
    }
    if (fault.delay) {
        if (!pause(options_.fault_delay))
            return;
        start = std::max(start, std::chrono::steady_clock::now());
    }
    if (!write_frame(fd_, reply.data(), reply.size(), per_byte, start) && options_.log)
        options_.log(std::string("reply not sent: ") + std::strerror(errno));
}

}  // namespace metersim
