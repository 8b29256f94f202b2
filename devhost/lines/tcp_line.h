// What the lines over one TCP connection (a Modbus TCP gateway, a serial
// server carrying RTU frames) have in common. open() resolves the host, once,
// so that no later reconnect waits on a name server; the connection itself
// is made when a transaction needs it, within that meter's timeout, and made
// anew at the next transaction after the server closed it or it failed. A
// server that refuses, resets or never answers the connection so costs a
// failed exchange (NoConnection), as a silent meter does on a serial line.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "devhost/lines/line.h"
#include "modbus/line_address.h"
#include "devhost/lines/tcp_connection.h"

namespace devhost {

class TcpLine : public Line {
public:
    TcpLine(LineSettings settings, modbus::LineAddress address);

    bool open(std::string& error) override;
    void close() override;
    bool is_open() const override { return open_; }

protected:
    using Clock = std::chrono::steady_clock;

    // Connects when there is no connection, or when the server has closed
    // it since the last transaction (fresh is then true). arrived gets the
    // bytes that came since the last transaction on a connection kept. False
    // with the failed exchange when no connection can be made in time.
    bool prepare_connection(const MeterAddress& meter, std::vector<std::uint8_t>& arrived,
                            bool& fresh, Exchange& failure);

    TcpConnection& connection() { return connection_; }
    static Exchange lost(const std::string& error);

private:
    modbus::LineAddress address_;
    std::vector<modbus::SocketAddress> resolved_;
    bool open_ = false;
    TcpConnection connection_;
};

}  // namespace devhost
