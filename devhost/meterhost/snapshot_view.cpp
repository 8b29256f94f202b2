#include "devhost/meterhost/snapshot_view.h"

#include <cmath>
#include <ctime>
#include <cstdio>
#include <memory>
#include <vector>

#include <json/reader.h>

#include "host/vdevice_interface.h"

namespace meterhost {

namespace {

constexpr char kUpdateTimeKey[] = "更新时间";
constexpr std::size_t kKeyColumns = 14;
constexpr int kMaxAttempts = 3;

bool is_wide(char32_t code)
{
    return (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
           (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
           (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
           (code >= 0xFFE0 && code <= 0xFFE6);
}

std::string format_number(double value)
{
    char text[64];
    if (std::floor(value) == value && std::fabs(value) < 1e15)
        std::snprintf(text, sizeof text, "%.0f", value);
    else
        std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

}  // namespace

std::size_t display_width(const std::string& text)
{
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        width += is_wide(code) ? 2 : 1;
        i += length;
    }
    return width;
}

std::optional<std::string> request_snapshot(VDeviceInterface& device)
{
    std::vector<char> buffer(4096);
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        int count = 0;
        const int result = device.DeviceIoControl(kSnapshotTextRequest, nullptr, 0, buffer.data(),
                                                  static_cast<int>(buffer.size()), count);
        if (result == 0 && count >= 0 && static_cast<std::size_t>(count) <= buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(count));
        if (count <= static_cast<int>(buffer.size()))
            return std::nullopt;
        buffer.resize(static_cast<std::size_t>(count));
    }
    return std::nullopt;
}

SnapshotValues read_snapshot(const std::string& snapshot_text)
{
    Json::Value snapshot;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string ignored;
    reader->parse(snapshot_text.data(), snapshot_text.data() + snapshot_text.size(), &snapshot,
                  &ignored);
    SnapshotValues values;
    if (!snapshot.isObject())
        return values;
    values.has_data = true;
    if (snapshot[kUpdateTimeKey].isString())
        values.update_time = snapshot[kUpdateTimeKey].asString();
    for (const std::string& key : snapshot.getMemberNames()) {
        const Json::Value& value = snapshot[key];
        if (value.isNumeric())
            values.quantities[key] = format_number(value.asDouble());
    }
    return values;
}

std::optional<std::time_t> parse_update_time(const std::string& text, std::time_t now)
{
    std::tm local{};
    char end = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &local.tm_year, &local.tm_mon,
                    &local.tm_mday, &local.tm_hour, &local.tm_min, &local.tm_sec, &end) != 6)
        return std::nullopt;
    local.tm_year -= 1900;
    local.tm_mon -= 1;
    // Each reading of the text, in standard and in daylight saving time;
    // one that names another wall-clock time (a zone with no daylight
    // saving, a time skipped when clocks go forward) is no reading.
    std::optional<std::time_t> chosen;
    for (const int daylight : {0, 1}) {
        std::tm reading = local;
        reading.tm_isdst = daylight;
        const std::time_t time = std::mktime(&reading);
        if (time == static_cast<std::time_t>(-1) || reading.tm_hour != local.tm_hour ||
            reading.tm_min != local.tm_min || reading.tm_mday != local.tm_mday)
            continue;
        if (!chosen || (time <= now && (*chosen > now || time > *chosen)) ||
            (time > now && *chosen > now && time < *chosen))
            chosen = time;
    }
    if (chosen)
        return chosen;
    local.tm_isdst = -1;
    const std::time_t time = std::mktime(&local);
    if (time == static_cast<std::time_t>(-1))
        return std::nullopt;
    return time;
}

std::string render_snapshot_table(const std::string& snapshot_text, const TableStatus& status)
{
    const SnapshotValues snapshot = read_snapshot(snapshot_text);
    std::string table = "meter on " + status.port;
    if (status.slave != 0)
        table = "meter " + std::to_string(status.slave) + " on " + status.port + " | " +
                status.state;
    table += " | round " + std::to_string(status.rounds) + " | errors " +
             std::to_string(status.errors) + " | updated ";
    if (!snapshot.has_data)
        return table + "never\n  (no data yet)\n";
    table += snapshot.update_time.value_or("?") + "\n";
    for (const auto& [key, value] : snapshot.quantities) {
        const std::size_t width = display_width(key);
        table += "  " + key + std::string(width < kKeyColumns ? kKeyColumns - width : 1, ' ') +
                 value + "\n";
    }
    return table;
}

}  // namespace meterhost
