#include "devhost/meterhost/meter_board.h"

#include <cstdio>

#include "devhost/meterhost/snapshot_view.h"

namespace meterhost {

std::string json_string(const std::string& text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            quoted += escaped;
        } else {
            quoted += c;  // UTF-8 passes unchanged
        }
    }
    return quoted + "\"";
}

std::string json_line(JsonTag tag, const std::string& port, int slave,
                      const std::string& snapshot_text)
{
    if (tag == JsonTag::None)
        return snapshot_text;
    std::string text = snapshot_text;
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    std::string line = "{";
    if (tag == JsonTag::PortAndSlave)
        line += "\"port\":" + json_string(port) + ",";
    return line + "\"slave\":" + std::to_string(slave) + ",\"snapshot\":" + text + "}\n";
}

MeterBoard::MeterBoard(HostOutput& out, bool json, JsonTag tag,
                       const std::vector<MeterIdentity>& meters)
    : out_(out), json_(json), tag_(tag)
{
    for (const MeterIdentity& meter : meters)
        rows_.emplace_back().id = meter;
}

std::string MeterBoard::table_of(const MeterRow& row) const
{
    TableStatus status{row.id.port, row.rounds, row.errors, 0, ""};
    if (rows_.size() > 1) {
        status.slave = row.id.slave;
        status.state = row.online ? "online" : "offline";
    }
    return render_snapshot_table(row.snapshot.empty() ? "null" : row.snapshot, status);
}

void MeterBoard::round_done(const MeterIdentity& meter, const std::string& snapshot_text,
                            unsigned long rounds, unsigned long errors)
{
    std::lock_guard<std::mutex> lock(mutex_);
    MeterRow& row = rows_.at(meter.index);
    row.snapshot = snapshot_text;
    row.rounds = rounds;
    row.errors = errors;
    row.online = true;
    if (json_)
        out_.write(json_line(tag_, row.id.port, row.id.slave, snapshot_text));
    else
        out_.write(table_of(row) + "\n");
}

void MeterBoard::polled(const MeterIdentity& meter, const PollOutcome& outcome)
{
    std::lock_guard<std::mutex> lock(mutex_);
    MeterRow& row = rows_.at(meter.index);
    row.online = outcome.online;
    row.errors = outcome.errors;
}

}  // namespace meterhost
