// What a line's port names, in one place for the bench host and the meter
// simulator: a serial device (any path), tcp://HOST:PORT for Modbus TCP, or
// rtu+tcp://HOST:PORT for Modbus RTU frames carried over one TCP connection.
// HOST is a name, an IPv4 address or an IPv6 address in brackets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/socket.h>

namespace modbus {

enum class LineKind { Serial, ModbusTcp, RtuOverTcp };

struct LineAddress {
    LineKind kind = LineKind::Serial;
    std::string path;  // a serial line's device
    std::string host;  // a network line's host, without brackets
    int tcp_port = 0;
};

// Whether port 0 is taken: a server listening there is given a free port.
enum class PortZero { Refused, Allowed };

// False with a message naming the port text when a network address is
// malformed. Anything without "://" is a serial device.
bool parse_line_address(const std::string& text, LineAddress& address, std::string& error,
                        PortZero zero = PortZero::Refused);

// The address in the form parse_line_address() reads.
std::string line_address_text(const LineAddress& address);

// The address forms, for messages.
extern const char kLineAddressForms[];

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// Every address the host of a network line has for TCP, in the resolver's
// order; false with a message when it has none.
bool resolve_line_address(const LineAddress& address, std::vector<SocketAddress>& resolved,
                          std::string& error);

// "127.0.0.1:502", "[::1]:502".
std::string socket_address_text(const SocketAddress& address);

}  // namespace modbus
