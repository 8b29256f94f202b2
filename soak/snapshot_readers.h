// Threads that ask the meters' devices for their snapshots and values while
// the line threads poll and write, as other parts of a gateway host do. They
// go round every meter in turn. Each text (request 801) must be one block its
// own meter served, never a mix of two rounds nor another meter's; the dead
// meter's stays the null snapshot. The object's address (request 803) must
// never move. A value query (Get_Value) must not find data a meter never had,
// nor miss data a meter has.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "soak/meter_under_test.h"

namespace soak {

struct ReaderCounts {
    unsigned long texts = 0;
    unsigned long addresses = 0;
    unsigned long values = 0;
    unsigned long inconsistent = 0;
};

// Why the outcome of a value query contradicts the meter's state, or empty.
// `thrown` is the text of the std::out_of_range the query raised, or null
// when it returned a value; `had_round` whether a record was published
// before the query began.
std::string value_problem(const MeterUnderTest& meter, bool had_round, const char* thrown);

class SnapshotReaders {
public:
    SnapshotReaders(const std::vector<MeterUnderTest*>& meters, int threads);
    ~SnapshotReaders();  // stops and joins
    SnapshotReaders(const SnapshotReaders&) = delete;
    SnapshotReaders& operator=(const SnapshotReaders&) = delete;

    void stop();
    ReaderCounts counts() const;                // after stop()
    std::vector<std::string> problems() const;  // after stop()

private:
    struct Reader {
        ReaderCounts counts;
        std::vector<std::string> problems;
        std::thread thread;
    };
    void run(Reader& reader);
    std::string read_text(MeterUnderTest& meter, std::vector<char>& buffer, ReaderCounts& counts);
    std::string read_value(MeterUnderTest& meter, ReaderCounts& counts);

    const std::vector<MeterUnderTest*> meters_;
    std::atomic<bool> stopping_{false};
    std::vector<Reader> readers_;
};

}  // namespace soak
