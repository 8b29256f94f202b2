// The simulated meters served over TCP, as a Modbus TCP gateway (tcp://: the
// unit identifier is the meter's address) or a serial server carrying RTU
// frames unchanged (rtu+tcp://), to one connection at a time: others wait
// until it closes. The meters and their faults are those given, so a dead or
// absent unit gets no answer, as on the bus behind a gateway. Over
// Modbus TCP, which has no CRC, the bad-crc fault sends the reply under
// another transaction number, which a master must discard.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "metersim/meters.h"
#include "metersim/request_timing.h"
#include "metersim/wake_pipe.h"
#include "modbus/line_address.h"

namespace metersim {

class NetworkServer {
public:
    // The meters must outlive the server. Throws std::invalid_argument for
    // an address that is not a network one.
    NetworkServer(Meters& meters, modbus::LineAddress address);
    ~NetworkServer();
    NetworkServer(const NetworkServer&) = delete;
    NetworkServer& operator=(const NetworkServer&) = delete;

    // Listens; port 0 takes a free one. Throws std::runtime_error.
    void open();
    // The address a master gives, with the port listened on.
    std::string address() const;

    // Serves on a thread of its own until stop() or destruction.
    void start();

    // These are safe from any thread.
    void stop();
    // Closes the connection being served, as a server that resets it would.
    void drop_connection();
    // Connections accepted so far.
    unsigned long connections() const { return connections_.load(); }
    // Replies sent, late ones included.
    unsigned long replies_sent() const { return replies_.load(); }
    // The most recent requests received, oldest first: their slave, function and arrival. Over RTU also the silence
    // before each (since the end of the previous request or of the reply
    // sent last, whichever came later); the first on a connection counts
    // as after a set-up, its silence from the connection's opening.
    std::vector<RequestTiming> timings() const { return timings_.entries(); }

private:
    void serve();
    void serve_connection(int fd);
    void serve_rtu(int fd);
    void serve_mbap(int fd);
    void end_after_replies(int fd);
    // Waits until fd is readable or until the deadline (none: no limit);
    // false when the connection is to end (stop, drop).
    bool wait_readable(int fd, const std::chrono::steady_clock::time_point* deadline);
    bool pause(std::chrono::milliseconds duration);
    void send_frame(int fd, const Frame& frame);
    bool leaving() const { return stopping_ || dropping_; }

    Meters& meters_;
    modbus::LineAddress address_;
    int listen_fd_ = -1;
    WakePipe wake_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> dropping_{false};
    std::atomic<unsigned long> connections_{0};
    std::atomic<unsigned long> replies_{0};
    // When the last reply went out on the connection being served.
    std::chrono::steady_clock::time_point last_reply_end_{};

    RecentLog<RequestTiming> timings_;
};

}  // namespace metersim
