#include "devhost/meterhost/scan_plan.h"

#include "modbus/frame_timing.h"

namespace meterhost {

namespace {

// The speeds meters are commonly set to, the most common first.
constexpr int kUsualBauds[] = {9600, 19200, 38400, 115200, 57600, 4800, 2400, 1200};
constexpr char kParities[] = {'N', 'E', 'O'};
constexpr int kFirstSlave = 1;
constexpr int kLastSlave = 247;
constexpr int kDefaultTimeoutMs = 500;
// The module's block read: address, function, start, count.
constexpr std::size_t kRequestBytes = 8;

}  // namespace

std::string setting_text(const ScanSetting& setting)
{
    return std::to_string(setting.baud) + " baud, parity " + std::string(1, setting.parity);
}

ScanPlan::ScanPlan(const HostOptions& options, bool line_has_speed)
    : port_(options.lines.front().port),
      all_settings_(options.scan.all_settings),
      has_speed_(line_has_speed)
{
    const LineOptions& line = options.lines.front();
    const LineOptions& defaults = options.defaults;
    slaves_ = !line.slaves.empty() ? line.slaves : defaults.slaves;
    if (slaves_.empty())
        for (int slave = kFirstSlave; slave <= kLastSlave; ++slave)
            slaves_.push_back(slave);
    timeout_ms_ = line.timeout_ms.value_or(defaults.timeout_ms.value_or(kDefaultTimeoutMs));

    if (!line_has_speed) {
        ScanSetting as_given;
        if (!options.scan.bauds.empty())
            as_given.baud = options.scan.bauds.front();
        if (!options.scan.parities.empty())
            as_given.parity = options.scan.parities.front();
        settings_.push_back(as_given);
        return;
    }
    std::vector<int> bauds = options.scan.bauds;
    if (bauds.empty())
        bauds.assign(std::begin(kUsualBauds), std::end(kUsualBauds));
    std::vector<char> parities = options.scan.parities;
    if (parities.empty())
        parities.assign(std::begin(kParities), std::end(kParities));
    for (int baud : bauds)
        for (char parity : parities)
            settings_.push_back({baud, parity});
}

Json::Value ScanPlan::device_config(const ScanSetting& setting, int slave) const
{
    Json::Value config(Json::objectValue);
    config["port"] = port_;
    config["slave"] = slave;
    config["timeout_ms"] = timeout_ms_;
    if (setting.baud != 0)
        config["baud"] = setting.baud;
    config["parity"] = std::string(1, setting.parity);
    return config;
}

std::chrono::nanoseconds ScanPlan::silent_probe_time(const ScanSetting& setting) const
{
    std::chrono::nanoseconds time = std::chrono::milliseconds(timeout_ms_);
    if (setting.baud != 0)
        time += modbus::inter_frame_silence(setting.baud, setting.parity) +
                modbus::wire_time(setting.baud, setting.parity, kRequestBytes);
    return time;
}

}  // namespace meterhost
