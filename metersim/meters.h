// The simulated power meters of one line: each served slave address answers
// reads of registers 10 to 69 and register writes from registers of its own,
// with optional faults, and a dead meter never answers. The meters answer
// requests whatever carries them; the servers (serial_server.h,
// network_server.h) are the lines, and any number of them may serve the same
// meters, one request at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "metersim/faults.h"
#include "metersim/register_bank.h"

namespace metersim {

using Frame = std::vector<std::uint8_t>;
using Log = std::function<void(const std::string&)>;

struct MeterOptions {
    std::vector<int> slaves{1};  // addresses served on the line, 1 to 247
    std::vector<int> dead;       // served addresses that never answer (until set_dead)
    std::optional<RegisterValues> table;   // fixed registers of every slave; live when empty
    std::map<int, RegisterValues> tables;  // fixed registers of some slaves, over `table`
    std::vector<FaultPlan> faults;         // counted over the requests of all slaves
    std::chrono::milliseconds fault_delay = kDefaultFaultDelay;
    Log log;  // one line per request and line event, when set
};

// What the meters answer one request.
struct MeterAnswer {
    bool broken = false;   // the request had no valid CRC: noise, to be dropped
    Frame frame;           // the reply, framed as the request was; empty: nothing goes out
    bool damaged = false;  // to go out damaged on purpose (the bad-crc fault)
    std::chrono::milliseconds delay{0};  // how late it goes out (the delay fault)
};

class Meters {
public:
    // Throws std::invalid_argument for an address outside 1 to 247 and for
    // a dead address that is not served.
    explicit Meters(MeterOptions options);
    Meters(const Meters&) = delete;
    Meters& operator=(const Meters&) = delete;

    // The answer to a request of the meter's address, the function code and
    // its data (as in a Modbus TCP frame after its header), in the same form,
    // with the faults applied: nothing for an address not served or dead, a
    // broadcast or a no-reply fault. Counts the request. For one serving
    // thread at a time.
    MeterAnswer answer(const Frame& request);
    // The same for a Modbus RTU frame: a request without a valid CRC is
    // broken; the reply gets its CRC, inverted when damaged.
    MeterAnswer answer_rtu(const Frame& frame);

    // These are safe from any thread, also while a server serves. The ones
    // taking a slave throw std::invalid_argument for one not served.
    void set_dead(int slave, bool dead);
    // Requests taken (addressed to a live slave), in all and per slave.
    unsigned long requests_seen() const { return requests_.load(); }
    unsigned long requests_seen(int slave) const;
    // The registers of the lowest address served, and of any slave.
    RegisterValues registers() const;
    RegisterValues registers(int slave) const;

    void log(const std::string& line) const;
    bool logging() const { return static_cast<bool>(options_.log); }

private:
    struct Meter {
        RegisterBank bank;
        bool dead = false;
        unsigned long requests = 0;
    };

    // Whether the addressed meter may answer, counting its request when so.
    const char* why_silent(std::uint8_t slave);
    double seconds_running() const;
    const Meter& meter(int slave) const;  // with mutex_ held
    Meter& meter(int slave);

    MeterOptions options_;
    FaultSchedule faults_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<unsigned long> requests_{0};

    mutable std::mutex mutex_;  // guards meters_
    std::map<int, Meter> meters_;
};

}  // namespace metersim
