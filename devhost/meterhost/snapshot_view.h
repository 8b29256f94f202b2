// The device's live snapshot: fetched as text with request 801, and shown as
// the table meterhost prints when not asked for JSON.
#pragma once

#include <cstddef>
#include <ctime>
#include <map>
#include <optional>
#include <string>

class VDeviceInterface;

namespace meterhost {

constexpr int kSnapshotTextRequest = 801;

// The snapshot text exactly as the device wrote it; the buffer grows to the
// size the device asks for. nullopt when the device will not give it.
std::optional<std::string> request_snapshot(VDeviceInterface& device);

struct TableStatus {
    std::string port;
    unsigned long rounds = 0;
    unsigned long errors = 0;
    int slave = 0;      // shown with the state when not 0 (one of several meters)
    std::string state;  // "online" or "offline"
};

// What a snapshot text holds for showing: its quantities (the numeric
// members) as shown, in the snapshot's key order, and its update time
// ("更新时间"). Not an object (the null snapshot of a meter without data):
// no quantities and no update time.
struct SnapshotValues {
    bool has_data = false;
    std::map<std::string, std::string> quantities;
    std::optional<std::string> update_time;
};
SnapshotValues read_snapshot(const std::string& snapshot_text);

// The local time an update time text such as "2024-3-5 7:8:9" names, as
// seen at `now`. In the hour repeated when clocks go back the text names two
// instants: the later one that is not after `now`.
std::optional<std::time_t> parse_update_time(const std::string& text,
                                             std::time_t now = std::time(nullptr));

// One member a line, in the snapshot's order, with a header line of status
// and the update time ("更新时间"). Numbers that are whole print as such,
// others with three decimals.
std::string render_snapshot_table(const std::string& snapshot_text, const TableStatus& status);

// Terminal columns of UTF-8 text: East Asian wide characters take two.
std::size_t display_width(const std::string& text);

}  // namespace meterhost
