// The meters served on one serial line: a new pseudo-terminal or a serial
// device. Requests are received and framed here, so that each byte's arrival
// is timed and the silence before a request can be checked; replies go out
// with a real line's timing when asked. On its pseudo-terminal the server
// watches the line as a meter would: it sees when a master sets the terminal
// up (opening the port) and at which speed.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "metersim/frame_receiver.h"
#include "metersim/meters.h"
#include "metersim/paced_write.h"
#include "metersim/request_timing.h"
#include "metersim/wake_pipe.h"

typedef struct _modbus modbus_t;

namespace metersim {

class PseudoTerminal;

struct SerialOptions {
    std::string device;  // a serial device to serve on; empty: a new pseudo-terminal
    std::string link;    // pseudo-terminal only: a symbolic link to its path
    int baud = 9600;
    char parity = 'N';
    // Answer with a real line's timing, and drop a request that follows the
    // previous frame with less than modbus::inter_frame_silence() between
    // them. On the pseudo-terminal, a request sent while the terminal is set
    // to another speed than `baud` is garbage to the meter and gets no answer.
    bool line_time = false;
};

class SerialServer {
public:
    // The meters must outlive the server; their log gets the line's events.
    SerialServer(Meters& meters, SerialOptions options);
    ~SerialServer();
    SerialServer(const SerialServer&) = delete;
    SerialServer& operator=(const SerialServer&) = delete;

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

    // These are safe from any thread, also while serve() runs.
    void stop();
    // The most recent frames received, oldest first.
    std::vector<RequestTiming> timings() const { return timings_.entries(); }
    // Frames dropped for too short a silence before them.
    unsigned long frames_rejected() const { return rejected_.load(); }
    // Replies written to the line, late ones included.
    unsigned long replies_sent() const { return replies_.load(); }
    // The most recent set-ups of the pseudo-terminal by a master, oldest
    // first; none on a serial device.
    std::vector<TerminalSetUp> terminal_setups() const { return setups_.entries(); }

private:
    bool receive();
    void handle_events();
    void handle(const ReceivedFrame& frame);
    void handle(const TerminalSetUp& setup);
    void measure_silence(RequestTiming& timing) const;
    bool too_early(RequestTiming& timing);
    void send(std::size_t request_length, const MeterAnswer& reply,
              std::chrono::steady_clock::time_point end);
    bool pause(std::chrono::nanoseconds duration);
    void log(const std::string& line) const;

    Meters& meters_;
    SerialOptions options_;
    std::unique_ptr<PseudoTerminal> pty_;
    modbus_t* modbus_ = nullptr;
    int fd_ = -1;
    WakePipe wake_;
    std::string port_path_;
    std::unique_ptr<FrameReceiver> receiver_;
    std::atomic<bool> stopping_{false};
    std::atomic<unsigned long> replies_{0};
    std::atomic<unsigned long> rejected_{0};
    std::thread thread_;

    // The line as the serving thread last saw it.
    bool frame_seen_ = false;
    std::chrono::steady_clock::time_point last_request_end_;  // the line's opening, at first
    LineInterval last_reply_{};
    std::optional<std::chrono::steady_clock::time_point> last_setup_;
    int line_baud_ = 0;

    RecentLog<RequestTiming> timings_;
    RecentLog<TerminalSetUp> setups_;
};

}  // namespace metersim
