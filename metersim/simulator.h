// Modbus RTU power meters on one serial line: each served slave address
// answers reads of registers 10 to 69 and register writes from registers of
// its own, with optional faults and line timing. Requests are received and
// framed here, so that each byte's arrival is timed and the silence before a
// request can be checked; replies are framed here so that faults can
// corrupt them and line timing can pace them. On its pseudo-terminal the
// simulator watches the line as a meter would: it sees when a master sets
// the terminal up (opening the port) and at which speed.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "metersim/faults.h"
#include "metersim/frame_receiver.h"
#include "metersim/line_timing.h"
#include "metersim/register_bank.h"
#include "metersim/rtu_frame.h"

typedef struct _modbus modbus_t;

namespace metersim {

class PseudoTerminal;

struct SimulatorOptions {
    std::string device;  // a serial device to serve on; empty: a new pseudo-terminal
    std::string link;    // pseudo-terminal only: a symbolic link to its path
    std::vector<int> slaves{1};  // addresses served on the line, 1 to 247
    std::vector<int> dead;       // served addresses that never answer (until set_dead)
    int baud = 9600;
    char parity = 'N';
    // Answer with a real line's timing, and drop a request that follows the
    // previous frame with less than inter_frame_silence() between them. On
    // the pseudo-terminal, a request sent while the terminal is set to
    // another speed than `baud` is garbage to the meter and gets no answer.
    bool line_time = false;
    std::optional<RegisterValues> table;    // fixed registers of every slave; live when empty
    std::map<int, RegisterValues> tables;   // fixed registers of some slaves, over `table`
    std::vector<FaultPlan> faults;          // counted over the requests of all slaves
    std::chrono::milliseconds fault_delay = kDefaultFaultDelay;
    std::function<void(const std::string&)> log;  // one line per request, when set
};

// One frame the simulator received and how much silence came before it on
// the line: since the end of the previous request, the last reply sent
// before this frame began, or the last set-up of the terminal, whichever
// was latest (before all of these, since the simulator opened the line).
struct RequestTiming {
    int slave = 0;     // the frame's address byte
    int function = 0;  // its function code; 0 for a frame too short to have one
    std::vector<std::uint8_t> bytes;  // the frame as received, checksum included
    std::chrono::steady_clock::time_point arrived;  // its first byte
    std::chrono::nanoseconds gap_before{0};
    // The silence is counted from a set-up of the terminal. The simulator
    // sees a set-up only when its thread next runs, so on a busy machine it
    // may count less silence than the line had: such a frame is measured,
    // and never dropped for it.
    bool after_setup = false;
    int baud = 0;              // the speed the line was set to when it came
    bool wrong_speed = false;  // garbage at the meter's own speed (line timing only)
    bool rejected = false;     // dropped for too short a silence (line timing only)
};

// What the meters answer one request, whatever carried it.
struct MeterAnswer {
    bool broken = false;   // the request had no valid CRC: noise, to be dropped
    Frame frame;           // the reply, CRC included; empty: nothing goes out
    bool damaged = false;  // its CRC is corrupted on purpose (the bad-crc fault)
    std::chrono::milliseconds delay{0};  // how late it goes out (the delay fault)
};

class Simulator {
public:
    // Throws std::invalid_argument for an address outside 1 to 247 and for
    // a dead address that is not served.
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

    // After stop(): waits until the serving thread has ended, so that
    // nothing changes the registers any more.
    void join();

    // The meters' answer to one Modbus RTU request (address, PDU, CRC), with
    // the faults applied: nothing for an address not served or dead, a
    // broadcast or a no-reply fault. Counts the request. For one serving
    // thread only: serve()'s, or that of a server on another line.
    MeterAnswer answer(const std::vector<std::uint8_t>& request);

    // These are safe from any thread, also while serve() runs. The ones
    // taking a slave throw std::invalid_argument for one not served.
    void stop();
    void set_dead(int slave, bool dead);
    // Requests taken (addressed to a live slave, after the silence check),
    // in all and per slave.
    unsigned long requests_seen() const { return requests_.load(); }
    unsigned long requests_seen(int slave) const;
    // The registers of the lowest address served, and of any slave.
    RegisterValues registers() const;
    RegisterValues registers(int slave) const;
    // The most recent frames received (up to kTimingLogLength), oldest first.
    std::vector<RequestTiming> timings() const;
    // Frames dropped for too short a silence before them.
    unsigned long frames_rejected() const;
    // Replies written to the line by serve(), late ones included.
    unsigned long replies_sent() const { return replies_.load(); }
    // The most recent set-ups of the pseudo-terminal by a master (up to
    // kTimingLogLength), oldest first; none on a serial device.
    std::vector<TerminalSetUp> terminal_setups() const;

    static constexpr std::size_t kTimingLogLength = 4096;

private:
    struct Meter {
        RegisterBank bank;
        bool dead = false;
        unsigned long requests = 0;
    };

    bool receive();
    void handle_events();
    void handle(const ReceivedFrame& frame);
    void handle(const TerminalSetUp& setup);
    void measure_silence(RequestTiming& timing) const;
    void send(std::size_t request_length, const MeterAnswer& reply,
              std::chrono::steady_clock::time_point end);
    bool pause(std::chrono::nanoseconds duration);
    double seconds_running() const;
    const Meter& meter(int slave) const;  // with mutex_ held
    Meter& meter(int slave);
    void log(const std::string& line) const;

    SimulatorOptions options_;
    std::unique_ptr<PseudoTerminal> pty_;
    modbus_t* modbus_ = nullptr;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    std::string port_path_;
    std::unique_ptr<FrameReceiver> receiver_;
    FaultSchedule faults_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<bool> stopping_{false};
    std::atomic<unsigned long> requests_{0};
    std::atomic<unsigned long> replies_{0};
    std::thread thread_;

    // The line as the serving thread last saw it.
    bool frame_seen_ = false;
    std::chrono::steady_clock::time_point last_request_end_;  // the line's opening, at first
    LineInterval last_reply_{};
    std::optional<std::chrono::steady_clock::time_point> last_setup_;
    int line_baud_ = 0;

    mutable std::mutex mutex_;  // guards what follows
    std::map<int, Meter> meters_;
    std::deque<RequestTiming> timings_;
    std::deque<TerminalSetUp> setups_;
    unsigned long rejected_ = 0;
};

}  // namespace metersim
