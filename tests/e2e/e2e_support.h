// Shared pieces of the end-to-end tests: the built commands, temporary
// folders, register tables, and the conversion the module's snapshot must
// apply to each register (written out here independently of the module).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "tests/e2e/child_process.h"

namespace e2e {

extern const std::string kMeterhost;
extern const std::string kMetersim;
extern const std::string kModule;
extern const std::string kPlainSlave;
extern const std::string kNoEntryModule;
extern const std::string kForeignProviderModule;

// The reply timeout (--timeout-ms) of the tests that scan or poll addresses
// left silent, each of which costs a whole timeout. A meter's reply begins
// 3.5 characters after the request, under 4 ms at the slowest speed the tests
// use (9600 baud): the rest, 25 times that, is margin for the scheduling of
// meterhost and of the meter's own thread or process.
extern const char kShortTimeoutMs[];

// A fresh folder, removed with its files when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string file(const std::string& name, const std::string& content = "") const;
    std::string path(const std::string& name) const { return root_ + "/" + name; }

private:
    std::string root_;
};

using Registers = std::array<std::uint16_t, 60>;  // registers 10 to 69

// "REGISTER VALUE" lines for registers 10 to 69.
std::string table_text(const Registers& registers);

// A metersim serving the table; its pseudo-terminal's path is read off its first line.
struct RunningSlave {
    std::unique_ptr<ChildProcess> process;
    std::string port;
};
RunningSlave start_metersim(const std::vector<std::string>& extra_args);
// libmodbus's own slaves: [--baud N] [ADDRESS:]TABLE_FILE... (fixtures/plain_slave.cpp).
RunningSlave start_plain_slave(const std::vector<std::string>& args);
// An independent Modbus server, Debian's pymodbus, on 127.0.0.1: framing
// "tcp" or "rtu+tcp", and each unit with its table file; port is the address
// meterhost takes.
RunningSlave start_pymodbus_server(const std::string& framing,
                                   const std::vector<std::pair<int, std::string>>& units);

// One JSON line of meterhost --json, parsed; a null value if it is not JSON.
Json::Value parse_json(const std::string& text);

// Checks a snapshot against the registers it was read from: exactly the 30
// quantities and the update time, each value converted as the quantity
// table says. Returns the mismatches, empty when it agrees.
std::vector<std::string> snapshot_mismatches(const Json::Value& snapshot,
                                             const Registers& registers);

// The 30 quantity names of the snapshot, in register order.
std::vector<std::string> quantity_names();

// One of the lines meterhost's standard error may carry, whole: the
// module's "rvSize is N" or "SPModbus get error", or meterhost's own.
bool is_whole_diagnostic_line(const std::string& line);

// Lines of a text, without empty ones.
std::vector<std::string> lines_of(const std::string& text);
int count_of(const std::string& text, const std::string& needle);

}  // namespace e2e
