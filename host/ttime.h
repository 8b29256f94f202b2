// The host's 7-byte local-time stamp and its constructor function.
#pragma once

#include <cstdint>

#include <boost/date_time/posix_time/ptime.hpp>

// Packed: the stamp is copied byte for byte into published records, so its
// layout is part of the record format.
struct __attribute__((packed)) ttime {
    std::uint16_t year;
    std::uint8_t month;   // 1..12
    std::uint8_t day;     // 1..31
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t second;
};

static_assert(sizeof(ttime) == 7, "the host time stamp is exactly 7 bytes");

// Provided by the host process. A not-a-date-time (or other special) value
// gives an all-zero stamp.
ttime get_ttime(boost::posix_time::ptime time);
