// How another thread wakes a server out of its wait: a byte written to a
// pipe whose reading end the server polls along with its line.
#pragma once

namespace metersim {

class WakePipe {
public:
    WakePipe() = default;
    ~WakePipe();
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    // Throws std::runtime_error with `what` and the error.
    void open(const char* what);
    // The end to poll for POLLIN; -1 before open().
    int read_fd() const { return fds_[0]; }
    // Safe from any thread, also before open() (then it does nothing).
    void wake();
    // Reads what wake() wrote, so that the next poll waits again.
    void drain();

private:
    int fds_[2] = {-1, -1};
};

}  // namespace metersim
