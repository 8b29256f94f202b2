// One power-meter device made by the real module (loaded with dlopen, as the
// gateway host loads it) over the quiet host back-ends, and the operations
// the benchmarks and the instruction probe time, each one call as the host
// makes it.
#pragma once

#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "host/spmodbus.h"
#include "devhost/runtime/module_loader.h"

namespace bench {

class MeterFixture {
public:
    // Loads the module once per process; each fixture makes its own device,
    // configures it and completes one round so the snapshot has data.
    MeterFixture();
    ~MeterFixture();
    MeterFixture(const MeterFixture&) = delete;
    MeterFixture& operator=(const MeterFixture&) = delete;

    // process_payload of a block read: stores the registers, completes the round.
    int polling_round();
    // Request 801 with no round since the last one: the snapshot is only written.
    int snapshot_text();
    // Request 801 after the data time moved on: the snapshot is rebuilt, then written.
    int snapshot_text_rebuilt();
    // Request 803 with no round since the last one.
    int snapshot_address();
    // Request 206: one register write handed to the host.
    int write_register();
    // The host operation request 206 ends in, called directly: the host's
    // own share of a write request.
    int host_write_register();
    // A cached record of the right size: installed, then a round completes.
    int load_from_cache();
    // Request 801's text as the host receives it (for sanity checks).
    std::string last_snapshot_text() const;

    SPModbus& device() { return *device_; }

private:
    std::unique_ptr<SPModbus> device_;
    std::vector<unsigned char> cached_record_;
    std::vector<unsigned char> text_buffer_;
    int text_length_ = 0;
};

// The line the module writes after every round, written by the module's own
// line writer, for the cost of that line alone.
void diagnostic_line();

// Replaces standard output's stream buffer with one that drops everything
// while alive: the round's line is still formatted, but no write reaches
// the operating system.
class DiscardStdout {
public:
    DiscardStdout();
    ~DiscardStdout();
    DiscardStdout(const DiscardStdout&) = delete;
    DiscardStdout& operator=(const DiscardStdout&) = delete;

private:
    std::streambuf* saved_;
};

// Points file descriptor 1 at /dev/null while alive, so standard output is
// written for real (a write system call per flushed line) but shows nothing.
class StdoutToDevNull {
public:
    StdoutToDevNull();
    ~StdoutToDevNull();
    StdoutToDevNull(const StdoutToDevNull&) = delete;
    StdoutToDevNull& operator=(const StdoutToDevNull&) = delete;

private:
    int saved_fd_;
};

}  // namespace bench
