#include "cli/values.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace cli {

bool read_whole(const std::string& text, long min, long max, long& value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && value >= min && value <= max;
}

bool read_seconds(const std::string& text, double max, double& seconds)
{
    char* end = nullptr;
    errno = 0;
    seconds = std::strtod(text.c_str(), &end);
    return !text.empty() && errno == 0 && *end == '\0' && std::isfinite(seconds) &&
           seconds >= 0 && seconds <= max;
}

bool each_item(const std::string& list, const std::function<bool(const std::string&)>& take)
{
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = list.find(',', start);
        const std::string item = list.substr(start, comma - start);
        if (item.empty() || !take(item))
            return false;
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

std::string whole_number_error(const std::string& option, long min, long max,
                               const std::string& text)
{
    return option + " needs a whole number from " + std::to_string(min) + " to " +
           std::to_string(max) + ", not '" + text + "'";
}

std::string seconds_error(const std::string& option, double max, const std::string& text)
{
    return option + " needs seconds from 0 to " + std::to_string(static_cast<long>(max)) +
           ", not '" + text + "'";
}

}  // namespace cli
