#include "tests/e2e/e2e_support.h"

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <json/reader.h>

#include "devhost/meterhost/module_lines.h"

namespace e2e {

const char kShortTimeoutMs[] = "100";

const std::string kMeterhost = METERHOST_PATH;
const std::string kMetersim = METERSIM_PATH;
const std::string kModule = MODULE_PATH;
const std::string kPlainSlave = PLAIN_SLAVE_PATH;
const std::string kNoEntryModule = NO_ENTRY_MODULE_PATH;
const std::string kForeignProviderModule = FOREIGN_PROVIDER_MODULE_PATH;

namespace {

struct QuantityRow {
    const char* key;
    int register_address;
    bool thousandths;
};

// The 30 quantities: snapshot key, the register it is read from, and whether
// the register holds thousandths (divided by 1000 in single precision).
const QuantityRow kQuantityRows[] = {
    {"A相电压", 10, false},     {"B相电压", 11, false},     {"C相电压", 12, false},
    {"AB相线电压", 13, false},  {"BC相线电压", 14, false},  {"CA相线电压", 15, false},
    {"A相电流", 16, false},     {"B相电流", 17, false},     {"C相电流", 18, false},
    {"A相有功功率", 19, true},  {"B相有功功率", 20, true},  {"C相有功功率", 21, true},
    {"总有功功率", 22, true},   {"A相无功功率", 23, true},  {"B相无功功率", 24, true},
    {"C相无功功率", 25, true},  {"总无功功率", 26, true},   {"总视在功率", 27, true},
    {"总功率因数", 28, false},  {"电压频率", 29, false},    {"正向有功电能", 30, false},
    {"反向有功电能", 31, false}, {"感性无功电能", 32, false}, {"容性无功电能", 33, false},
    {"A相功率因数", 34, false}, {"B相功率因数", 35, false}, {"C相功率因数", 36, false},
    {"A相视在功率", 37, true},  {"B相视在功率", 38, true},  {"C相视在功率", 39, true},
};

constexpr char kUpdateTimeKey[] = "更新时间";

RunningSlave read_port(std::unique_ptr<ChildProcess> process)
{
    const auto port = process->read_line(std::chrono::seconds(10));
    if (!port || port->empty())
        throw std::runtime_error("the slave printed no port: " + process->err());
    return {std::move(process), *port};
}

}  // namespace

TempDir::TempDir()
{
    char pattern[] = "/tmp/meterhost-e2e-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
}

TempDir::~TempDir()
{
    const std::string command = "rm -rf '" + root_ + "'";
    [[maybe_unused]] const int ignored = std::system(command.c_str());
}

std::string TempDir::file(const std::string& name, const std::string& content) const
{
    const std::string full = path(name);
    std::ofstream(full) << content;
    return full;
}

std::string table_text(const Registers& registers)
{
    std::string text;
    for (std::size_t i = 0; i < registers.size(); ++i)
        text += std::to_string(10 + i) + " " + std::to_string(registers[i]) + "\n";
    return text;
}

RunningSlave start_metersim(const std::vector<std::string>& extra_args)
{
    std::vector<std::string> argv{kMetersim};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    return read_port(std::make_unique<ChildProcess>(argv));
}

RunningSlave start_plain_slave(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{kPlainSlave};
    argv.insert(argv.end(), args.begin(), args.end());
    return read_port(std::make_unique<ChildProcess>(argv));
}

RunningSlave start_pymodbus_server(const std::string& framing,
                                   const std::vector<std::pair<int, std::string>>& units)
{
    std::vector<std::string> argv{DEBIAN_PYTHON_PATH, PYMODBUS_SERVER_PATH, framing};
    for (const auto& [unit, table_file] : units)
        argv.push_back(std::to_string(unit) + "=" + table_file);
    RunningSlave server = read_port(std::make_unique<ChildProcess>(argv));
    server.port = framing + "://127.0.0.1:" + server.port;
    return server;
}

Json::Value parse_json(const std::string& text)
{
    Json::Value value;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string error;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &error))
        return Json::Value();
    return value;
}

std::vector<std::string> snapshot_mismatches(const Json::Value& snapshot,
                                             const Registers& registers)
{
    std::vector<std::string> mismatches;
    if (!snapshot.isObject())
        return {"not a JSON object"};
    if (snapshot.size() != 31)
        mismatches.push_back(std::to_string(snapshot.size()) + " members, not 31");
    if (!snapshot[kUpdateTimeKey].isString())
        mismatches.push_back("no update time");
    for (const QuantityRow& row : kQuantityRows) {
        const std::uint16_t raw = registers[static_cast<std::size_t>(row.register_address - 10)];
        const double expected = row.thousandths
                                    ? static_cast<double>(static_cast<float>(raw) / 1000.0f)
                                    : static_cast<double>(raw);
        const Json::Value& value = snapshot[row.key];
        if (!value.isDouble() && !value.isIntegral())
            mismatches.push_back(std::string(row.key) + " missing");
        else if (value.asDouble() != expected)
            mismatches.push_back(std::string(row.key) + " is " + value.toStyledString() +
                                 " for register " + std::to_string(raw));
    }
    return mismatches;
}

std::vector<std::string> quantity_names()
{
    std::vector<std::string> names;
    for (const QuantityRow& row : kQuantityRows)
        names.push_back(row.key);
    return names;
}

bool is_whole_diagnostic_line(const std::string& line)
{
    return line.rfind("meterhost: ", 0) == 0 ||
           meterhost::classify_module_line(line) != meterhost::ModuleLine::Other;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

int count_of(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

}  // namespace e2e
