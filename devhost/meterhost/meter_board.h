// meterhost's plain standard output when meters, on several line threads,
// complete rounds: every meter's state, and the one JSON line or table a
// completed round prints, written whole under one lock. On a terminal the
// live view (live_view.h) shows the meters instead.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "devhost/meterhost/host_output.h"
#include "devhost/meterhost/meter_identity.h"
#include "devhost/meterhost/session_events.h"

namespace meterhost {

// How a JSON line names the meter it is about.
enum class JsonTag {
    None,         // one meter: the module's text alone
    Slave,        // one line: {"slave":N,"snapshot":TEXT}
    PortAndSlave  // several lines: {"port":"P","slave":N,"snapshot":TEXT}
};

// One --json output line, ending in a line feed; TEXT is the module's
// snapshot text without its own line feed, its bytes unchanged.
std::string json_line(JsonTag tag, const std::string& port, int slave,
                      const std::string& snapshot_text);

// The text as a JSON string literal, quotes included.
std::string json_string(const std::string& text);

struct MeterRow {
    MeterIdentity id;
    bool online = true;
    unsigned long rounds = 0;
    unsigned long errors = 0;
    std::string snapshot;  // the latest snapshot text, empty before any
};

class MeterBoard final : public SessionEvents {
public:
    // One row per meter, in the order of their indexes.
    MeterBoard(HostOutput& out, bool json, JsonTag tag, const std::vector<MeterIdentity>& meters);

    // A round of the meter completed: prints its JSON line, or its table.
    void round_done(const MeterIdentity& meter, const std::string& snapshot_text,
                    unsigned long rounds, unsigned long errors) override;
    // The meter's state after a poll, shown with its next table.
    void polled(const MeterIdentity& meter, const PollOutcome& outcome) override;

private:
    std::string table_of(const MeterRow& row) const;

    HostOutput& out_;
    const bool json_;
    const JsonTag tag_;
    std::mutex mutex_;
    std::vector<MeterRow> rows_;
};

}  // namespace meterhost
