// Lists of slave addresses as the command line gives them: "N", "A-B", or
// several of these separated by commas.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace metersim {

constexpr int kFirstSlave = 1;
constexpr int kLastSlave = 247;

// The addresses, ascending and each once; nullopt when an item is empty,
// not a decimal number, outside 1 to 247, or a range running backwards.
std::optional<std::vector<int>> parse_slave_list(const std::string& text);

}  // namespace metersim
