// The TCP connection of a network line to its server. Every wait ends at a
// deadline the caller gives, the connect included (a non-blocking connect,
// never the system's minutes-long default). Writes never raise SIGPIPE.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "modbus/line_address.h"

namespace devhost {

class TcpConnection {
public:
    using Clock = std::chrono::steady_clock;

    TcpConnection() = default;
    ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Tries the addresses in turn until one accepts, all before the deadline.
    bool connect(const std::vector<modbus::SocketAddress>& addresses, Clock::time_point deadline,
                 std::string& error);
    bool connected() const { return fd_ >= 0; }
    void close();

    // Appends what has arrived, without waiting. False, with the connection
    // closed, when the server has closed it or it failed.
    bool take_arrived(std::vector<std::uint8_t>& into, std::string& error);

    // False, with the connection closed, when it failed or the deadline passed.
    bool send(const std::vector<std::uint8_t>& bytes, Clock::time_point deadline,
              std::string& error);

    enum class Wait { Data, Deadline, Lost };
    // Waits for bytes until the deadline and appends what came. Lost: the
    // server closed the connection or it failed (closed here, error says why).
    Wait receive(std::vector<std::uint8_t>& into, Clock::time_point deadline, std::string& error);

private:
    bool read_some(std::vector<std::uint8_t>& into, std::string& error);

    int fd_ = -1;
};

}  // namespace devhost
