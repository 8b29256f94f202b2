#include "modbus/address_list.h"

#include <algorithm>
#include <sstream>

namespace modbus {

namespace {

std::optional<int> address(const std::string& text)
{
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int value = std::stoi(text);
    if (value < kFirstSlave || value > kLastSlave)
        return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::vector<int>> parse_slave_list(const std::string& text)
{
    std::vector<int> slaves;
    std::istringstream items(text);
    std::string item;
    // getline misses an empty last item, so a trailing comma is checked here.
    if (text.empty() || text.back() == ',')
        return std::nullopt;
    while (std::getline(items, item, ',')) {
        const auto dash = item.find('-');
        const auto first = address(item.substr(0, dash));
        const auto last = dash == std::string::npos ? first : address(item.substr(dash + 1));
        if (!first || !last || *last < *first)
            return std::nullopt;
        for (int slave = *first; slave <= *last; ++slave)
            slaves.push_back(slave);
    }
    std::sort(slaves.begin(), slaves.end());
    slaves.erase(std::unique(slaves.begin(), slaves.end()), slaves.end());
    return slaves;
}

}  // namespace modbus
