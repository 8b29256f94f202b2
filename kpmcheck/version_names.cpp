#include "kpmcheck/version_names.h"

#include <algorithm>
#include <cstdlib>

namespace kpmcheck {

namespace {

// The numbers after the last '_', or empty when that is not a dotted number.
std::vector<long> version_numbers(const std::string& version)
{
    const std::size_t underscore = version.rfind('_');
    if (underscore == std::string::npos || underscore + 1 == version.size())
        return {};
    std::vector<long> numbers;
    const char* at = version.c_str() + underscore + 1;
    while (true) {
        if (*at < '0' || *at > '9')
            return {};
        char* end = nullptr;
        numbers.push_back(std::strtol(at, &end, 10));
        if (*end == '\0')
            return numbers;
        if (*end != '.')
            return {};
        at = end + 1;
    }
}

}  // namespace

std::string version_space(const std::string& version)
{
    const std::size_t underscore = version.rfind('_');
    return underscore == std::string::npos ? version : version.substr(0, underscore);
}

std::vector<std::string> newest_per_space(const std::vector<std::string>& versions)
{
    std::vector<std::string> newest;
    for (const std::string& version : versions) {
        const std::vector<long> numbers = version_numbers(version);
        if (numbers.empty())
            continue;
        const auto same_space = std::find_if(newest.begin(), newest.end(), [&](const std::string& kept) {
            return version_space(kept) == version_space(version);
        });
        if (same_space == newest.end())
            newest.push_back(version);
        else if (version_numbers(*same_space) < numbers)
            *same_space = version;
    }
    return newest;
}

std::string listed(const std::vector<std::string>& names)
{
    if (names.empty())
        return "none";
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace kpmcheck
