// Who a meter is, the same for everything that names it: the session that
// polls it, the printed table or JSON line, the live view and the soak.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace meterhost {

struct MeterIdentity {
    std::size_t index = 0;  // over all lines, in the order of the configuration
    std::size_t line = 0;   // its line's position among the session's lines
    std::string port;       // its line's port, as the device is configured with it
    int slave = 1;          // its Modbus address on that line
    std::uint32_t data_id = 0;
};

// "meter 4 on /dev/ttyUSB0": how meterhost's messages name it.
std::string meter_name(const MeterIdentity& meter);

}  // namespace meterhost
