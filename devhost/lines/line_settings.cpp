#include "devhost/lines/line_settings.h"

#include <algorithm>
#include <cctype>

#include "modbus/line_address.h"
#include "modbus/protocol.h"

namespace devhost {

namespace {

constexpr int kStandardBauds[] = {300,   600,   1200,   2400,   4800,   9600,  19200,
                                  38400, 57600, 115200, 230400, 460800, 921600};
constexpr int kMaxTimeoutMs = 60000;

bool read_int(const Json::Value& config, const char* key, int min, int max, int& value,
              std::string& error)
{
    if (!config.isMember(key))
        return true;
    const Json::Value& item = config[key];
    if (!item.isInt() || item.asInt() < min || item.asInt() > max) {
        error = std::string("\"") + key + "\" must be a whole number from " +
                std::to_string(min) + " to " + std::to_string(max);
        return false;
    }
    value = item.asInt();
    return true;
}

}  // namespace

bool operator==(const LineSettings& a, const LineSettings& b)
{
    return a.port == b.port && a.baud == b.baud && a.parity == b.parity && a.slave == b.slave &&
           a.timeout_ms == b.timeout_ms;
}

bool is_standard_baud(int baud)
{
    return std::find(std::begin(kStandardBauds), std::end(kStandardBauds), baud) !=
           std::end(kStandardBauds);
}

LineSettingsResult parse_line_settings(const Json::Value& config, int default_baud)
{
    LineSettingsResult result;
    LineSettings& settings = result.settings;
    settings.baud = default_baud;
    if (!config.isObject()) {
        result.error = "the configuration must be a JSON object";
        return result;
    }
    const Json::Value& port = config["port"];
    if (!port.isString() || port.asString().empty()) {
        result.error =
            std::string("\"port\" must be a non-empty string: ") + modbus::kLineAddressForms;
        return result;
    }
    settings.port = port.asString();
    modbus::LineAddress address;
    if (!modbus::parse_line_address(settings.port, address, result.error))
        return result;

    if (config.isMember("parity")) {
        const Json::Value& parity = config["parity"];
        const std::string text = parity.isString() ? parity.asString() : "";
        const char letter =
            text.size() == 1 ? static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])))
                             : '?';
        if (letter != 'N' && letter != 'E' && letter != 'O') {
            result.error = "\"parity\" must be \"N\", \"E\" or \"O\"";
            return result;
        }
        settings.parity = letter;
    }
    if (!read_int(config, "baud", 1, 4000000, settings.baud, result.error) ||
        !read_int(config, "slave", modbus::kFirstSlave, modbus::kLastSlave, settings.slave, result.error) ||
        !read_int(config, "timeout_ms", 1, kMaxTimeoutMs, settings.timeout_ms, result.error))
        return result;
    if (!is_standard_baud(settings.baud)) {
        result.error = "\"baud\" " + std::to_string(settings.baud) +
                       " is not a serial line speed (300 to 921600, e.g. 9600)";
        return result;
    }
    result.usable = true;
    return result;
}

}  // namespace devhost
