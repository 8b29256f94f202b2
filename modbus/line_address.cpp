#include "modbus/line_address.h"

#include <algorithm>

#include <netdb.h>

namespace modbus {

namespace {

struct Scheme {
    const char* prefix;
    LineKind kind;
};

constexpr Scheme kSchemes[] = {
    {"tcp://", LineKind::ModbusTcp},
    {"rtu+tcp://", LineKind::RtuOverTcp},
};

constexpr int kLastTcpPort = 65535;

const char* prefix_of(LineKind kind)
{
    for (const Scheme& scheme : kSchemes)
        if (scheme.kind == kind)
            return scheme.prefix;
    return "";
}

bool parse_tcp_port(const std::string& text, int first, int& port)
{
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(text);
    return port >= first && port <= kLastTcpPort;
}

// HOST:PORT or [IPv6]:PORT after the scheme.
bool parse_host_and_port(const std::string& rest, LineAddress& address, std::string& problem,
                         PortZero zero)
{
    std::string port_text;
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos) {
            problem = "has no ']' after its IPv6 address";
            return false;
        }
        address.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty() && after[0] != ':') {
            problem = "has no ':' before its TCP port";
            return false;
        }
        port_text = after.empty() ? "" : after.substr(1);
    } else {
        const auto colon = rest.rfind(':');
        if (colon == std::string::npos) {
            problem = rest.empty() ? "names no host" : "names no TCP port";
            return false;
        }
        address.host = rest.substr(0, colon);
        port_text = rest.substr(colon + 1);
        if (address.host.find(':') != std::string::npos) {
            problem = "has an IPv6 address out of brackets: write [ADDRESS]:PORT";
            return false;
        }
    }
    if (address.host.empty()) {
        problem = "names no host";
        return false;
    }
    const int first = zero == PortZero::Allowed ? 0 : 1;
    if (port_text.empty()) {
        problem = "names no TCP port";
        return false;
    }
    if (!parse_tcp_port(port_text, first, address.tcp_port)) {
        problem = "has TCP port '" + port_text + "'; it must be " + std::to_string(first) +
                  " to 65535";
        return false;
    }
    return true;
}

}  // namespace

const char kLineAddressForms[] =
    "a serial device, tcp://HOST:PORT (Modbus TCP) or rtu+tcp://HOST:PORT (RTU over TCP)";

bool parse_line_address(const std::string& text, LineAddress& address, std::string& error,
                        PortZero zero)
{
    address = LineAddress{};
    for (const Scheme& scheme : kSchemes) {
        const std::string prefix = scheme.prefix;
        if (text.compare(0, prefix.size(), prefix) != 0)
            continue;
        address.kind = scheme.kind;
        std::string problem;
        if (parse_host_and_port(text.substr(prefix.size()), address, problem, zero))
            return true;
        error = "port " + text + " " + problem;
        return false;
    }
    if (text.find("://") != std::string::npos) {
        error = "port " + text + " is no kind of line known here: give " + kLineAddressForms;
        return false;
    }
    address.path = text;
    return true;
}

std::string line_address_text(const LineAddress& address)
{
    if (address.kind == LineKind::Serial)
        return address.path;
    const bool bracketed = address.host.find(':') != std::string::npos;
    return prefix_of(address.kind) + (bracketed ? "[" + address.host + "]" : address.host) + ":" +
           std::to_string(address.tcp_port);
}

bool resolve_line_address(const LineAddress& address, std::vector<SocketAddress>& resolved,
                          std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(address.tcp_port);
    const int status = ::getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found);
    if (status != 0) {
        error = "host " + address.host + " does not resolve (" + ::gai_strerror(status) + ")";
        return false;
    }
    resolved.clear();
    for (const addrinfo* item = found; item != nullptr; item = item->ai_next) {
        if (item->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        SocketAddress one;
        std::copy_n(reinterpret_cast<const unsigned char*>(item->ai_addr), item->ai_addrlen,
                    reinterpret_cast<unsigned char*>(&one.storage));
        one.length = item->ai_addrlen;
        resolved.push_back(one);
    }
    ::freeaddrinfo(found);
    if (resolved.empty()) {
        error = "host " + address.host + " has no address for TCP";
        return false;
    }
    return true;
}

std::string socket_address_text(const SocketAddress& address)
{
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address.storage), address.length, host,
                      sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    const bool ipv6 = address.storage.ss_family == AF_INET6;
    return (ipv6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + service;
}

}  // namespace modbus
