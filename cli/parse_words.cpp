// The walk over the words of a command line against the rows of a table.
#include <algorithm>

#include "cli/option_table.h"

namespace cli {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// An option word: "--" and a name, or a row's exact name (a short form).
bool is_option(const std::vector<OptionShape>& rows, const std::string& word)
{
    return word.rfind("--", 0) == 0 ||
           std::any_of(rows.begin(), rows.end(),
                       [&](const OptionShape& row) { return *row.name == word; });
}

bool takes_value(const std::vector<OptionShape>& rows, const std::string& name)
{
    return std::any_of(rows.begin(), rows.end(), [&](const OptionShape& row) {
        return *row.name == name && row.takes_value;
    });
}

// The first word that is neither an option nor an option's value; kNone
// when there is none.
std::size_t first_plain_word(const std::vector<OptionShape>& rows,
                             const std::vector<std::string>& args)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (!is_option(rows, args[i]))
            return i;
        if (args[i].find('=') == std::string::npos && takes_value(rows, args[i]))
            ++i;
    }
    return kNone;
}

std::size_t mode_named(const std::vector<Mode>& modes, const std::string& word)
{
    for (std::size_t i = 0; i < modes.size(); ++i)
        if (!modes[i].word.empty() && modes[i].word == word)
            return i;
    return kNone;
}

// The row of `name` for the mode; kNone with `known` telling whether any
// mode takes it.
std::size_t row_for(const std::vector<OptionShape>& rows, const std::string& name,
                    std::size_t mode, bool& known)
{
    known = false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (*rows[i].name != name)
            continue;
        known = true;
        if ((rows[i].modes & mode_bit(mode)) != 0)
            return i;
    }
    return kNone;
}

}  // namespace

Parsed parse_words(const std::vector<OptionShape>& rows, const std::vector<Mode>& modes,
                   const std::vector<std::string>& args, const ApplyRow& apply)
{
    Parsed parsed;
    // Known first: it decides which rows apply to the options before it.
    const std::size_t plain = first_plain_word(rows, args);
    const std::size_t named = plain == kNone ? kNone : mode_named(modes, args[plain]);
    if (named != kNone)
        parsed.mode = named;
    const Mode& mode = modes.at(parsed.mode);
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i == plain && named != kNone)
            continue;
        std::string name = args[i];
        if (!is_option(rows, name)) {
            if (!mode.takes_operands) {
                parsed.error = "unexpected argument '" + name + "'";
                return parsed;
            }
            parsed.operands.push_back(name);
            continue;
        }
        std::string value;
        const std::size_t equals = name.rfind("--", 0) == 0 ? name.find('=') : std::string::npos;
        const bool inline_value = equals != std::string::npos;
        if (inline_value) {
            value = name.substr(equals + 1);
            name.erase(equals);
        }
        bool known = false;
        const std::size_t row = row_for(rows, name, parsed.mode, known);
        if (row == kNone) {
            parsed.error = known ? name + " does not apply to " + mode.name
                                 : "unknown option '" + name + "'";
            return parsed;
        }
        if (!rows[row].takes_value && inline_value) {
            parsed.error = name + " takes no value";
            return parsed;
        }
        if (rows[row].shows_help) {
            parsed.help = true;
            parsed.ok = true;
            return parsed;
        }
        if (rows[row].takes_value && !inline_value) {
            if (i + 1 >= args.size()) {
                parsed.error = name + " needs a value";
                return parsed;
            }
            value = args[++i];
        }
        parsed.error = apply(row, name, value);
        if (!parsed.error.empty())
            return parsed;
    }
    parsed.ok = true;
    return parsed;
}

}  // namespace cli
