// The module's diagnostic lines ("rvSize is N", "SPModbus get error"), which
// it writes to its standard output, file descriptor 1 (pointed at standard
// error by HostOutput). While the live view is on the terminal they must not
// scroll through it: descriptor 1 becomes a pipe that a thread reads, handing
// each complete line to a callback and, when asked, writing it whole to
// standard error (when that is not the view's terminal).
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace meterhost {

class ModuleOutputTap {
public:
    using LineHandler = std::function<void(const std::string& line)>;

    // Throws std::runtime_error when the descriptors cannot be rearranged.
    ModuleOutputTap(LineHandler handler, bool forward_to_error);
    // Points descriptor 1 back at standard error and takes what is left in
    // the pipe.
    ~ModuleOutputTap();
    ModuleOutputTap(const ModuleOutputTap&) = delete;
    ModuleOutputTap& operator=(const ModuleOutputTap&) = delete;

private:
    void read_lines(int fd);

    LineHandler handler_;
    const bool forward_;
    std::thread reader_;
};

}  // namespace meterhost
