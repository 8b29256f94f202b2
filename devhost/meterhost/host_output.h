// Keeps standard output for meterhost's own output. The module writes its
// diagnostics to std::cout, so file descriptor 1 is pointed at standard error
// and meterhost writes to a duplicate of the original standard output.
#pragma once

#include <cstdio>
#include <string>

namespace meterhost {

class HostOutput {
public:
    HostOutput() = default;
    ~HostOutput();
    HostOutput(const HostOutput&) = delete;
    HostOutput& operator=(const HostOutput&) = delete;

    // Throws std::runtime_error when the descriptors cannot be rearranged.
    void divert();

    // Writes and flushes at once, so a reader sees each line as it is made.
    void write(const std::string& text);
    bool is_terminal() const { return terminal_; }
    // Where the output goes (the original standard output), or null before divert.
    std::FILE* stream() const { return stream_; }
    // True when standard error is the same terminal as the output.
    bool error_on_same_terminal() const;

private:
    std::FILE* stream_ = nullptr;
    bool terminal_ = false;
};

}  // namespace meterhost
