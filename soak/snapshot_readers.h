// Threads that ask the device for its snapshot while the host thread polls
// and writes, as other parts of a gateway host do. Each text (request 801)
// must be one served block's quantities, never a mix of two rounds; the
// object's address (request 803) must never move.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "served_states.h"

class SMDSPDevice;

namespace soak {

struct ReaderCounts {
    unsigned long texts = 0;
    unsigned long addresses = 0;
    unsigned long inconsistent = 0;
};

class SnapshotReaders {
public:
    // `rounds` is the host's count of published records, read before each
    // request: once it is non-zero a request must not see the null snapshot.
    SnapshotReaders(SMDSPDevice& device, const ServedStates& served,
                    const std::atomic<unsigned long>& rounds, int threads);
    ~SnapshotReaders();  // stops and joins
    SnapshotReaders(const SnapshotReaders&) = delete;
    SnapshotReaders& operator=(const SnapshotReaders&) = delete;

    void stop();
    ReaderCounts counts() const;  // after stop()
    std::vector<std::string> problems() const;  // after stop()

private:
    struct Reader {
        ReaderCounts counts;
        std::vector<std::string> problems;
        std::thread thread;
    };
    void run(Reader& reader);

    SMDSPDevice& device_;
    const ServedStates& served_;
    const std::atomic<unsigned long>& rounds_;
    std::atomic<bool> stopping_{false};
    std::vector<Reader> readers_;
};

}  // namespace soak
