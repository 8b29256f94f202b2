// The meter's data record: one block of 60 registers with the device's data
// id and the time of the round that produced it. The host publishes, caches
// and stores it as an opaque block of exactly 131 bytes, so the layout below
// is a wire format: packed, host byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "host/ttime.h"

constexpr int kRegisterBlockStart = 10;  // first register address read
constexpr int kRegisterBlockCount = 60;  // registers 10..69

struct __attribute__((packed)) KalvorPowerMeter_Data_t {
    std::uint32_t data_id;
    std::uint16_t registers[kRegisterBlockCount];  // word i = register 10 + i
    ttime time_stamp;
};

static_assert(sizeof(KalvorPowerMeter_Data_t) == 131, "the record is exactly 131 bytes");
static_assert(offsetof(KalvorPowerMeter_Data_t, data_id) == 0, "data_id at 0");
static_assert(offsetof(KalvorPowerMeter_Data_t, registers) == 4, "registers at 4");
static_assert(offsetof(KalvorPowerMeter_Data_t, time_stamp) == 124, "time_stamp at 124");
static_assert(alignof(KalvorPowerMeter_Data_t) == 1, "no alignment assumed anywhere");

// The register words sit at odd alignment inside a packed record: they are
// moved with memcpy only, never through a uint16_t pointer, which would trap
// on the target.
inline void store_registers(KalvorPowerMeter_Data_t& record, const std::uint16_t* words)
{
    std::memcpy(reinterpret_cast<unsigned char*>(&record) +
                    offsetof(KalvorPowerMeter_Data_t, registers),
                words, sizeof(std::uint16_t) * kRegisterBlockCount);
}

inline void load_registers(const KalvorPowerMeter_Data_t& record, std::uint16_t* words)
{
    std::memcpy(words,
                reinterpret_cast<const unsigned char*>(&record) +
                    offsetof(KalvorPowerMeter_Data_t, registers),
                sizeof(std::uint16_t) * kRegisterBlockCount);
}
