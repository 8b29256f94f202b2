// The live snapshot: the 30 quantities and the update time as a JSON object,
// rebuilt only when a round has completed since the last build.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include <json/writer.h>

#include "meter/kalvor_power_meter.h"
#include "meter/quantity_table.h"

namespace {

constexpr const char kUpdateTimeKey[] = "更新时间";

// "2024-3-5 7:8:9": plain decimal fields, no padding.
std::string format_update_time(const ttime& stamp)
{
    char text[48];
    std::snprintf(text, sizeof text, "%u-%u-%u %u:%u:%u", unsigned{stamp.year},
                  unsigned{stamp.month}, unsigned{stamp.day}, unsigned{stamp.hour},
                  unsigned{stamp.minute}, unsigned{stamp.second});
    return text;
}

}  // namespace

void KalvorPowerMeter::refresh_snapshot_locked()
{
    if (data_time == snapshot_time && rounds_completed == snapshot_round)
        return;
    // Marked first: a rebuild cut short by an exception is not retried until
    // the next round.
    snapshot_time = data_time;
    snapshot_round = rounds_completed;

    std::uint16_t words[kRegisterBlockCount];
    load_registers(record, words);
    for (const Quantity& quantity : kQuantities)
        snapshot[quantity.key] = quantity_value(quantity, words[quantity.word]);
    const ttime stamp = record.time_stamp;
    snapshot[kUpdateTimeKey] = format_update_time(stamp);
}

int KalvorPowerMeter::snapshot_text(unsigned char* out, int out_len, int& out_count)
{
    // Held until the text is made, so it never shows a half-rebuilt object.
    std::lock_guard<std::mutex> lock(snapshot_mutex);
    refresh_snapshot_locked();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const std::string text = Json::FastWriter().write(snapshot);
#pragma GCC diagnostic pop
    out_count = static_cast<int>(text.size());
    if (static_cast<std::size_t>(out_len) < text.size())
        return -1;
    std::memcpy(out, text.data(), text.size());
    return 0;
}

int KalvorPowerMeter::snapshot_address(unsigned char* out, int out_len, int& out_count)
{
    {
        std::lock_guard<std::mutex> lock(snapshot_mutex);
        refresh_snapshot_locked();
    }
    const Json::Value* address = &snapshot;
    out_count = sizeof address;
    if (out_len < static_cast<int>(sizeof address))
        return -1;
    std::memcpy(out, &address, sizeof address);
    return 0;
}
