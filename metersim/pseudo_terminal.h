// A new pseudo-terminal for the simulated meter: the simulator serves on the
// master side, a Modbus master opens the path of the other side. The
// simulator keeps that side open itself, so the line stays up while masters
// come and go, and it is set raw so no byte is translated or echoed. It
// starts at the meter's speed, and its master side is watched for masters
// setting it up (terminal_watch.h): reads there begin with a status byte.
#pragma once

#include <string>

namespace metersim {

class PseudoTerminal {
public:
    // Throws std::runtime_error with the failing call and its error.
    explicit PseudoTerminal(int baud);
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    int master_fd() const { return master_; }
    const std::string& path() const { return path_; }

    // Points a symbolic link at path() (replacing what is there), so masters
    // can use a fixed name across simulator restarts; removed on destruction.
    void link_as(const std::string& link);

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::string link_;
};

}  // namespace metersim
