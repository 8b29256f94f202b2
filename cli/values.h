// Readers of option values, and the usual ways of applying one to the typed
// options, with the messages a user sees for a value they refuse.
#pragma once

#include <functional>
#include <string>

#include "cli/option_table.h"

namespace cli {

// A whole number from min to max, decimal, 0x hex or 0-led octal; no sign,
// nothing after it.
bool read_whole(const std::string& text, long min, long max, long& value);

// Seconds from 0 to max, fractions allowed ("0.25"); not NaN or infinite.
bool read_seconds(const std::string& text, double max, double& seconds);

// Gives each comma-separated item to `take`; false when one is empty or
// refused.
bool each_item(const std::string& list, const std::function<bool(const std::string&)>& take);

// "OPTION needs a whole number from MIN to MAX, not 'TEXT'"
std::string whole_number_error(const std::string& option, long min, long max,
                               const std::string& text);

// "OPTION needs seconds from 0 to MAX, not 'TEXT'"
std::string seconds_error(const std::string& option, double max, const std::string& text);

template <class Options>
Apply<Options> whole_number(long min, long max, std::function<void(Options&, long)> store)
{
    return [=](Options& options, const std::string& option, const std::string& value) {
        long number = 0;
        if (!read_whole(value, min, max, number))
            return whole_number_error(option, min, max, value);
        store(options, number);
        return std::string();
    };
}

template <class Options>
Apply<Options> seconds(double max, std::function<void(Options&, double)> store)
{
    return [=](Options& options, const std::string& option, const std::string& value) {
        double number = 0;
        if (!read_seconds(value, max, number))
            return seconds_error(option, max, value);
        store(options, number);
        return std::string();
    };
}

// A text that must not be empty: "OPTION needs <what>" when it is.
template <class Options>
Apply<Options> text(std::string Options::*field, std::string what)
{
    return [=](Options& options, const std::string& option, const std::string& value) {
        if (value.empty())
            return option + " needs " + what;
        options.*field = value;
        return std::string();
    };
}

template <class Options>
Apply<Options> flag(std::function<void(Options&)> set)
{
    return [=](Options& options, const std::string&, const std::string&) {
        set(options);
        return std::string();
    };
}

}  // namespace cli
