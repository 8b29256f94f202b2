#pragma once
// Writing a whole buffer to a descriptor, and reading a whole one from a
// socket. A write may take fewer bytes than
// it was given (a pipe, a terminal, a socket) or be interrupted by a signal;
// these go on until every byte is written or the descriptor fails.

#include <cstddef>
#include <string>

namespace sysio {

// True when every byte was written. On false errno says why; ENOSPC when
// the descriptor took no byte without reporting an error.
bool write_all(int fd, const void* data, std::size_t length);
bool write_all(int fd, const std::string& text);

// The same for a socket, which raises no SIGPIPE when the peer has gone:
// the caller learns it from the result (EPIPE) instead.
bool send_all(int fd, const void* data, std::size_t length);

// Reads exactly `length` bytes from a socket, across short reads and
// signals; false when the peer closes first (errno 0) or the read fails.
bool recv_all(int fd, void* into, std::size_t length);

}  // namespace sysio
