#include "device_config.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <json/reader.h>

#include "line_settings.h"

namespace meterhost {

namespace {

// Stands in for the simulated meter's pseudo-terminal while the other
// settings are checked; the real path is known once the simulator runs.
constexpr const char kSimulatedPortPlaceholder[] = "(simulated meter)";
// The device's own speed is not known before the module is loaded; a
// configuration without "baud" is checked against the meter's usual one.
constexpr int kUsualBaud = 9600;

// The JSON reader's message on one line: "* Line 2, Column 1\n  Syntax
// error: ..." becomes "Line 2, Column 1: Syntax error: ...".
std::string one_line(const std::string& message)
{
    std::string joined;
    std::istringstream lines(message);
    std::string line;
    while (std::getline(lines, line)) {
        const auto start = line.find_first_not_of("* ");
        if (start == std::string::npos)
            continue;
        joined += (joined.empty() ? "" : ": ") + line.substr(start);
    }
    return joined;
}

bool read_config_file(const std::string& path, Json::Value& json, std::string& error)
{
    std::error_code ignored;
    std::ifstream file(path);
    if (!file || std::filesystem::is_directory(path, ignored)) {
        error = "cannot read configuration " + path;
        return false;
    }
    std::stringstream text;
    text << file.rdbuf();
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const std::string content = text.str();
    std::string parse_error;
    bool parsed = false;
    try {
        parsed = reader->parse(content.data(), content.data() + content.size(), &json,
                               &parse_error);
    } catch (const Json::Exception&) {
        parse_error = "nested deeper than the reader takes";  // its stack limit
    }
    if (!parsed) {
        error = "configuration " + path + " is not valid JSON: " + one_line(parse_error);
        return false;
    }
    if (!json.isObject()) {
        error = "configuration " + path + " must be a JSON object";
        return false;
    }
    return true;
}

}  // namespace

DeviceConfig build_device_config(const HostOptions& options)
{
    DeviceConfig config;
    config.json = Json::Value(Json::objectValue);
    if (!options.config_file.empty() &&
        !read_config_file(options.config_file, config.json, config.error))
        return config;

    if (options.port)
        config.json["port"] = *options.port;
    if (options.baud)
        config.json["baud"] = *options.baud;
    if (options.parity)
        config.json["parity"] = std::string(1, *options.parity);
    if (options.slave)
        config.json["slave"] = *options.slave;
    if (options.timeout_ms)
        config.json["timeout_ms"] = *options.timeout_ms;

    config.simulated = !config.json.isMember("port");
    Json::Value checked = config.json;
    if (config.simulated)
        checked["port"] = kSimulatedPortPlaceholder;
    const devhost::LineSettingsResult settings = devhost::parse_line_settings(checked, kUsualBaud);
    if (!settings.usable) {
        config.error = (options.config_file.empty() ? "" : "configuration " + options.config_file + ": ") +
                       settings.error;
        return config;
    }
    config.ok = true;
    return config;
}

}  // namespace meterhost
