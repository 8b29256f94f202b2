// The live snapshot: the 30 quantities and the update time as a JSON object,
// rebuilt only when a round has completed since the last build.
#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include <json/writer.h>

#include "meter/kalvor_power_meter.h"
#include "meter/quantity_table.h"

namespace {

constexpr const char kUpdateTimeKey[] = "更新时间";

// The snapshot's members as slots: the quantities by table row, then the
// update time.
constexpr int kUpdateTimeSlot = kQuantityCount;
constexpr int kMemberCount = kQuantityCount + 1;

constexpr const char* member_key(int slot)
{
    return slot == kUpdateTimeSlot ? kUpdateTimeKey : kQuantities[slot].key;
}

constexpr std::size_t key_length(const char* key)
{
    std::size_t length = 0;
    while (key[length] != '\0')
        ++length;
    return length;
}

// The order a JSON object keeps its members in: keys compared byte by byte
// as unsigned, a key before every longer key it is a prefix of.
constexpr bool key_before(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        const auto byte_a = static_cast<unsigned char>(*a);
        const auto byte_b = static_cast<unsigned char>(*b);
        if (byte_a != byte_b)
            return byte_a < byte_b;
        if (byte_a == 0)
            return false;
    }
}

// Slots in the order the built snapshot holds its members.
constexpr std::array<int, kMemberCount> member_order()
{
    std::array<int, kMemberCount> order{};
    for (int i = 0; i < kMemberCount; ++i) {
        int j = i;
        while (j > 0 && key_before(member_key(i), member_key(order[j - 1]))) {
            order[j] = order[j - 1];
            --j;
        }
        order[j] = i;
    }
    return order;
}

constexpr std::array<int, kMemberCount> kMemberOrder = member_order();

constexpr std::array<std::size_t, kMemberCount> key_lengths()
{
    std::array<std::size_t, kMemberCount> lengths{};
    for (int slot = 0; slot < kMemberCount; ++slot)
        lengths[slot] = key_length(member_key(slot));
    return lengths;
}

constexpr std::array<std::size_t, kMemberCount> kKeyLengths = key_lengths();

// "2024-3-5 7:8:9": plain decimal fields, no padding. The longest text,
// "65535-255-255 255:255:255", takes 25 bytes.
constexpr std::size_t kUpdateTimeTextSize = 32;

char* append_decimal(char* out, unsigned value)
{
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        *out++ = digits[--count];
    return out;
}

std::size_t format_update_time(const ttime& stamp, char* text)
{
    char* out = text;
    out = append_decimal(out, stamp.year);
    *out++ = '-';
    out = append_decimal(out, stamp.month);
    *out++ = '-';
    out = append_decimal(out, stamp.day);
    *out++ = ' ';
    out = append_decimal(out, stamp.hour);
    *out++ = ':';
    out = append_decimal(out, stamp.minute);
    *out++ = ':';
    out = append_decimal(out, stamp.second);
    return static_cast<std::size_t>(out - text);
}

// Sets the members of a snapshot that holds exactly the snapshot's members,
// found by one walk over the object instead of a key lookup each. Returns
// false, having changed nothing, when the object holds anything else (the
// first build, or an object changed through the address request 803 hands
// out); the caller then sets the members by key.
bool update_members_in_place(Json::Value& snapshot, const std::uint16_t* words,
                             const char* update_time, std::size_t update_time_length)
{
    if (!snapshot.isObject() || snapshot.size() != static_cast<Json::ArrayIndex>(kMemberCount))
        return false;
    Json::Value* members[kMemberCount];
    int position = 0;
    const Json::Value::iterator end = snapshot.end();
    for (Json::Value::iterator it = snapshot.begin(); it != end; ++it, ++position) {
        const int slot = kMemberOrder[static_cast<std::size_t>(position)];
        const char* name_end = nullptr;
        const char* name = it.memberName(&name_end);
        const auto length = static_cast<std::size_t>(name_end - name);
        if (length != kKeyLengths[slot] || std::memcmp(name, member_key(slot), length) != 0)
            return false;
        members[slot] = &*it;
    }
    for (int row = 0; row < kQuantityCount; ++row)
        *members[row] = quantity_value(kQuantities[row], words[kQuantities[row].word]);
    *members[kUpdateTimeSlot] = Json::Value(update_time, update_time + update_time_length);
    return true;
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
    const ttime stamp = record.time_stamp;
    char time_text[kUpdateTimeTextSize];
    const std::size_t time_length = format_update_time(stamp, time_text);

    if (update_members_in_place(snapshot, words, time_text, time_length))
        return;
    for (const Quantity& quantity : kQuantities)
        snapshot[quantity.key] = quantity_value(quantity, words[quantity.word]);
    snapshot[kUpdateTimeKey] = Json::Value(time_text, time_text + time_length);
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
