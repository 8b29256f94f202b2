// What a scan tries: the line settings, in order, and the addresses, as the
// scan subcommand's options give them, and the device configuration of each
// probe.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <json/value.h>

#include "devhost/meterhost/command_line.h"

namespace meterhost {

// A speed and parity to try; baud 0: the device's own.
struct ScanSetting {
    int baud = 0;
    char parity = 'N';
};

// "19200 baud, parity E"
std::string setting_text(const ScanSetting& setting);

class ScanPlan {
public:
    // options: a scan's, with its one --port. A line with no speed to set
    // is tried at one setting, the first speed and parity given (a serial
    // server's line, whose timing they give), else the device's own.
    ScanPlan(const HostOptions& options, bool line_has_speed);

    const std::string& port() const { return port_; }
    // Whether the settings are the line's to set, and so worth telling.
    bool has_speed() const { return has_speed_; }
    const std::vector<ScanSetting>& settings() const { return settings_; }
    const std::vector<int>& slaves() const { return slaves_; }
    bool all_settings() const { return all_settings_; }

    // The configuration of the device that asks one address at one setting.
    Json::Value device_config(const ScanSetting& setting, int slave) const;
    // The longest an address that does not answer takes at the setting: the
    // silence before the request, the request, the timeout.
    std::chrono::nanoseconds silent_probe_time(const ScanSetting& setting) const;

private:
    std::string port_;
    std::vector<ScanSetting> settings_;
    std::vector<int> slaves_;
    int timeout_ms_ = 500;
    bool all_settings_ = false;
    bool has_speed_ = true;
};

}  // namespace meterhost
