#include "devhost/meterhost/host_config.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <json/reader.h>

#include "devhost/lines/line_settings.h"

namespace meterhost {

namespace {

// Stands in for the simulated line's pseudo-terminal while the other
// settings are checked; the real path is known once the simulator runs.
constexpr const char kSimulatedPortPlaceholder[] = "(simulated meter)";
// The device's own speed is not known before the module is loaded; a
// configuration without "baud" is checked against the meter's usual one.
constexpr int kUsualBaud = 9600;
constexpr const char* kLineKeys[] = {"port", "baud", "parity", "slave", "timeout_ms"};
constexpr std::uint64_t kLastDataId = 0xFFFFFFFF;

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

bool is_line_key(const std::string& key)
{
    return std::find_if(std::begin(kLineKeys), std::end(kLineKeys), [&](const char* line_key) {
               return key == line_key;
           }) != std::end(kLineKeys);
}

void lay_over(Json::Value& json, const LineOptions& line)
{
    if (!line.port.empty())
        json["port"] = line.port;
    if (line.baud)
        json["baud"] = *line.baud;
    if (line.parity)
        json["parity"] = std::string(1, *line.parity);
    if (line.timeout_ms)
        json["timeout_ms"] = *line.timeout_ms;
    if (!line.slaves.empty()) {
        json["slave"] = Json::Value(Json::arrayValue);
        for (int slave : line.slaves)
            json["slave"].append(slave);
    }
}

// Each line's keys merged, from --port, the file's "lines" or its top level.
bool line_entries(const HostOptions& options, const Json::Value& file,
                  std::vector<Json::Value>& entries, std::string& error)
{
    Json::Value base = file;
    base.removeMember("lines");
    if (!options.lines.empty()) {
        for (const LineOptions& line : options.lines) {
            Json::Value json = base;
            lay_over(json, options.defaults);
            lay_over(json, line);
            entries.push_back(json);
        }
        return true;
    }
    if (!file.isMember("lines")) {
        lay_over(base, options.defaults);
        entries.push_back(base);
        return true;
    }
    const Json::Value& lines = file["lines"];
    if (file.isMember("port")) {
        error = "give either \"port\" or \"lines\", not both";
        return false;
    }
    if (!lines.isArray() || lines.empty()) {
        error = "\"lines\" must be a non-empty array of line objects";
        return false;
    }
    for (Json::ArrayIndex i = 0; i < lines.size(); ++i) {
        const std::string which = "\"lines\" item " + std::to_string(i + 1);
        if (!lines[i].isObject()) {
            error = which + " must be an object";
            return false;
        }
        Json::Value json = base;
        for (const std::string& key : lines[i].getMemberNames()) {
            if (!is_line_key(key)) {
                error = which + " has \"" + key +
                        "\"; a line takes \"port\", \"baud\", \"parity\", \"slave\" and "
                        "\"timeout_ms\"";
                return false;
            }
            json[key] = lines[i][key];
        }
        if (!json.isMember("port")) {
            error = which + " needs a \"port\"";
            return false;
        }
        lay_over(json, options.defaults);
        entries.push_back(json);
    }
    return true;
}

// The addresses of a line: "slave" as one number or an array of them.
bool slaves_of(const Json::Value& json, std::vector<Json::Value>& slaves, std::string& error)
{
    if (!json.isMember("slave")) {
        slaves.push_back(1);
        return true;
    }
    const Json::Value& slave = json["slave"];
    if (!slave.isArray()) {
        slaves.push_back(slave);  // checked with the other keys
        return true;
    }
    if (slave.empty()) {
        error = "\"slave\" must list at least one address";
        return false;
    }
    for (const Json::Value& item : slave) {
        if (std::find(slaves.begin(), slaves.end(), item) != slaves.end()) {
            error = "\"slave\" lists an address twice";
            return false;
        }
        slaves.push_back(item);
    }
    return true;
}

bool build_line(const Json::Value& entry, std::uint64_t& next_data_id, LineSetup& line,
                std::string& error)
{
    line.simulated = !entry.isMember("port");
    std::vector<Json::Value> slaves;
    if (!slaves_of(entry, slaves, error))
        return false;
    for (const Json::Value& slave : slaves) {
        Json::Value json = entry;
        json["slave"] = slave;
        Json::Value checked = json;
        if (line.simulated)
            checked["port"] = kSimulatedPortPlaceholder;
        const devhost::LineSettingsResult settings =
            devhost::parse_line_settings(checked, kUsualBaud);
        if (!settings.usable) {
            error = settings.error;
            return false;
        }
        line.port = line.simulated ? "" : settings.settings.port;
        line.baud = settings.settings.baud;
        line.parity = settings.settings.parity;
        line.meters.push_back(MeterSetup{settings.settings.slave, 0, json});
    }
    std::sort(line.meters.begin(), line.meters.end(),
              [](const MeterSetup& a, const MeterSetup& b) { return a.slave < b.slave; });
    for (MeterSetup& meter : line.meters) {
        if (next_data_id > kLastDataId) {
            error = "--data-id leaves no data id for slave " + std::to_string(meter.slave);
            return false;
        }
        meter.data_id = static_cast<std::uint32_t>(next_data_id++);
    }
    return true;
}

}  // namespace

std::size_t HostConfig::meter_count() const
{
    std::size_t count = 0;
    for (const LineSetup& line : lines)
        count += line.meters.size();
    return count;
}

HostConfig build_host_config(const HostOptions& options)
{
    HostConfig config;
    Json::Value file(Json::objectValue);
    if (!options.config_file.empty() &&
        !read_config_file(options.config_file, file, config.error))
        return config;
    const std::string where =
        options.config_file.empty() ? "" : "configuration " + options.config_file + ": ";

    std::vector<Json::Value> entries;
    if (!line_entries(options, file, entries, config.error)) {
        config.error = where + config.error;
        return config;
    }
    std::uint64_t next_data_id = options.data_id;
    for (const Json::Value& entry : entries) {
        LineSetup line;
        std::string error;
        if (!build_line(entry, next_data_id, line, error)) {
            const std::string which =
                entries.size() > 1 ? "line " + entry["port"].asString() + ": " : "";
            config.error = where + which + error;
            return config;
        }
        for (const LineSetup& earlier : config.lines)
            if (earlier.port == line.port) {
                config.error = where + "port " + line.port +
                               " is given for two lines; list all its meters in one line";
                return config;
            }
        config.lines.push_back(std::move(line));
    }
    if (options.mode == Mode::Write && config.meter_count() != 1) {
        config.error = where + "write takes one meter, not " +
                       std::to_string(config.meter_count());
        return config;
    }
    config.ok = true;
    return config;
}

}  // namespace meterhost
