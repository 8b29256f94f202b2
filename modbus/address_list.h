// Lists of slave addresses as command lines give them: "N", "A-B", or
// several of these separated by commas.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "modbus/protocol.h"

namespace modbus {

// The addresses, ascending and each once; nullopt when an item is empty,
// not a decimal number, outside 1 to 247, or a range running backwards.
std::optional<std::vector<int>> parse_slave_list(const std::string& text);

}  // namespace modbus
