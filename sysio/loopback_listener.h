#pragma once
// A listening TCP socket on 127.0.0.1 at a free port, for the scripted
// peers and servers of the tests and fuzz targets.

#include <cstdint>

namespace sysio {

// The socket (close-on-exec), with `port` set to the port it took; -1 with
// errno set when it cannot be made.
int listen_on_loopback(int backlog, std::uint16_t& port);

}  // namespace sysio
