// A Modbus RTU power meter on a serial line: answers reads of registers 10
// to 69 and register writes, with optional faults and line timing. Requests
// are received with libmodbus; replies are framed here so that faults can
// corrupt them and line timing can pace them.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "faults.h"
#include "register_bank.h"

typedef struct _modbus modbus_t;

namespace metersim {

class PseudoTerminal;

struct SimulatorOptions {
    std::string device;  // a serial device to serve on; empty: a new pseudo-terminal
    std::string link;    // pseudo-terminal only: a symbolic link to its path
    int slave = 1;
    int baud = 9600;
    char parity = 'N';
    bool line_time = false;                 // answer with a real line's timing
    std::optional<RegisterValues> table;    // fixed registers; live values when empty
    std::vector<FaultPlan> faults;
    std::chrono::milliseconds fault_delay = kDefaultFaultDelay;
    std::function<void(const std::string&)> log;  // one line per request, when set
};

class Simulator {
public:
    explicit Simulator(SimulatorOptions options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the line; throws std::runtime_error naming the device and the error.
    void open();
    // The path a master opens: the pseudo-terminal's, or the device given.
    const std::string& port_path() const { return port_path_; }

    // Serves requests on the calling thread until stop().
    void serve();
    // serve() on a thread of its own; stop() or destruction joins it.
    void start();
    // Safe from any thread.
    void stop();

    unsigned long requests_seen() const { return requests_.load(); }
    RegisterValues registers() const;

private:
    void serve_one();
    void answer(const std::uint8_t* request, int length);
    bool pause(std::chrono::nanoseconds duration);
    double seconds_running() const;

    SimulatorOptions options_;
    std::unique_ptr<PseudoTerminal> pty_;
    modbus_t* modbus_ = nullptr;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    std::string port_path_;
    FaultSchedule faults_;
    mutable std::mutex bank_mutex_;
    RegisterBank bank_;
    std::chrono::steady_clock::time_point started_;
    std::atomic<bool> stopping_{false};
    std::atomic<unsigned long> requests_{0};
    std::thread thread_;
};

}  // namespace metersim
