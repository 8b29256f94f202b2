#include "metersim/meters.h"

#include <stdexcept>

#include "modbus/protocol.h"
#include "modbus/replies.h"
#include "modbus/requests.h"
#include "modbus/rtu_crc.h"

namespace metersim {

namespace {

// The smallest request: the address, the function code, the CRC.
constexpr std::size_t kMinRtuRequest = 4;

std::map<int, bool> checked_addresses(const MeterOptions& options)
{
    std::map<int, bool> dead_by_slave;
    const auto check = [](int slave) {
        if (slave < modbus::kFirstSlave || slave > modbus::kLastSlave)
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

std::string fault_marks(const FaultDecision& fault)
{
    std::string marks;
    if (fault.no_reply) marks += " [no reply]";
    if (fault.delay) marks += " [delayed]";
    if (fault.exception) marks += " [exception]";
    if (fault.wrong_echo) marks += " [wrong echo]";
    if (fault.bad_crc) marks += " [bad CRC]";
    return marks;
}

}  // namespace

Meters::Meters(MeterOptions options) : options_(std::move(options)), faults_(options_.faults)
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

const Meters::Meter& Meters::meter(int slave) const
{
    const auto found = meters_.find(slave);
    if (found == meters_.end())
        throw std::invalid_argument("slave " + std::to_string(slave) + " is not on this line");
    return found->second;
}

Meters::Meter& Meters::meter(int slave)
{
    return const_cast<Meter&>(static_cast<const Meters&>(*this).meter(slave));
}

void Meters::set_dead(int slave, bool dead)
{
    std::lock_guard<std::mutex> lock(mutex_);
    meter(slave).dead = dead;
}

unsigned long Meters::requests_seen(int slave) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return meter(slave).requests;
}

RegisterValues Meters::registers() const { return registers(meters_.begin()->first); }

RegisterValues Meters::registers(int slave) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return meter(slave).bank.current(seconds_running());
}

double Meters::seconds_running() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

void Meters::log(const std::string& line) const
{
    if (options_.log)
        options_.log(line);
}

MeterAnswer Meters::answer_rtu(const Frame& frame)
{
    if (frame.size() < kMinRtuRequest || !modbus::rtu_crc_ok(frame.data(), frame.size())) {
        log("bad request: " + std::to_string(frame.size()) + " bytes with no valid CRC");
        MeterAnswer noise;
        noise.broken = true;
        return noise;
    }
    MeterAnswer reply = answer(Frame(frame.begin(), frame.end() - modbus::kRtuCrcLength));
    if (!reply.frame.empty()) {
        modbus::append_rtu_crc(reply.frame);
        if (reply.damaged) {
            reply.frame[reply.frame.size() - 1] ^= 0xFF;
            reply.frame[reply.frame.size() - 2] ^= 0xFF;
        }
    }
    return reply;
}

const char* Meters::why_silent(std::uint8_t slave)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = meters_.find(slave);
    if (found == meters_.end())
        return "not on this line";
    if (found->second.dead)
        return "dead";
    ++found->second.requests;
    return nullptr;
}

MeterAnswer Meters::answer(const Frame& request)
{
    const std::uint8_t slave = request[0];
    // Only the addressed meter may answer; without it the line stays silent.
    if (slave != modbus::kBroadcastAddress) {
        if (const char* silent = why_silent(slave)) {
            log("slave " + std::to_string(slave) + ": " + silent + ", no answer");
            return {};
        }
    }
    modbus::Request parsed;
    const modbus::RequestShape shape = modbus::parse_request(request.data(), request.size(), parsed);
    const bool is_write = parsed.function == modbus::kWriteSingleRegister ||
                          parsed.function == modbus::kWriteMultipleRegisters;
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
            if (!meter.dead && (address == slave || slave == modbus::kBroadcastAddress))
                banks.push_back(&meter.bank);
        if (banks.empty())
            return {};  // it went dead meanwhile
        const auto write = [&]() {
            std::uint8_t code = modbus::kIllegalFunction;
            for (RegisterBank* bank : banks)
                code = bank->write(parsed.address, parsed.values);
            return code;
        };
        const std::string address = std::to_string(parsed.address);
        const auto echoed = static_cast<std::uint16_t>(parsed.count + fault.wrong_echo);
        std::uint8_t code = modbus::kIllegalFunction;
        switch (shape) {
        case modbus::RequestShape::Read: {
            std::vector<std::uint16_t> values;
            code = banks.front()->read(parsed.address, parsed.count, seconds_running(), values);
            what = "read " + address + "+" + std::to_string(parsed.count);
            if (code == 0)
                reply = modbus::read_registers_reply(slave, values);
            break;
        }
        case modbus::RequestShape::WriteSingle:
            code = write();
            what = "write " + address + " = " + std::to_string(parsed.values[0]);
            if (code == 0)
                reply = modbus::write_register_reply(
                    slave, parsed.address,
                    static_cast<std::uint16_t>(parsed.values[0] + fault.wrong_echo));
            break;
        case modbus::RequestShape::WriteMultiple:
        case modbus::RequestShape::BadByteCount:
            what = "write " + std::to_string(parsed.count) + " registers from " + address;
            code = shape == modbus::RequestShape::WriteMultiple ? write() : modbus::kIllegalValue;
            if (code == 0)
                reply = modbus::write_registers_reply(slave, parsed.address, echoed);
            break;
        case modbus::RequestShape::Unsupported:
            what = "function " + std::to_string(parsed.function);
            break;
        }
        if (code != 0 || fault.exception)
            reply = modbus::exception_reply(slave, parsed.function,
                                            code != 0 ? code : kFaultExceptionCode);
    }
    if (logging())
        log("slave " + std::to_string(slave) + ": " + what + fault_marks(fault));
    if (slave == modbus::kBroadcastAddress || fault.no_reply)
        return {};
    return {false, reply, fault.bad_crc,
            fault.delay ? options_.fault_delay : std::chrono::milliseconds(0)};
}

}  // namespace metersim
