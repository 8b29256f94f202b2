// Line settings of one Modbus device, as its JSON configuration gives them:
// "port" (a serial device or a network address, line_address.h), "baud",
// "parity", "slave", "timeout_ms". Other keys belong to the device and are
// ignored here. A line over TCP to a serial server keeps the silence of its
// serial line's baud and parity; a Modbus TCP line has no use for them.
#pragma once

#include <string>

#include <json/value.h>

namespace devhost {

struct LineSettings {
    std::string port;
    int baud = 9600;
    char parity = 'N';  // 'N', 'E' or 'O'
    int slave = 1;
    int timeout_ms = 500;  // for the first byte of a reply
};

bool operator==(const LineSettings& a, const LineSettings& b);

struct LineSettingsResult {
    bool usable = false;
    LineSettings settings;
    std::string error;  // why not, naming the key
};

// default_baud is the device's own line speed, taken when "baud" is absent.
LineSettingsResult parse_line_settings(const Json::Value& config, int default_baud);

// The speeds a serial line can be set to.
bool is_standard_baud(int baud);

}  // namespace devhost
