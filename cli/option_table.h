// A program's command line as one table. Each option is written once: its
// name, whether it takes a value, the modes (subcommands) that take it, how
// it is applied to the program's typed options, and its help. The parser,
// its refusals and the option lists of the help text all come from that
// table, so an option cannot be known in one place and missing in another.
//
// Use, for a program without subcommands:
//
//   struct SimOptions { int baud = 9600; bool verbose = false; };
//   const cli::Command<SimOptions> kCommand{
//       {{"--baud", "N", cli::kEveryMode,
//         cli::whole_number<SimOptions>(50, 4000000, [](SimOptions& o, long n) { o.baud = n; }),
//         "line speed (default 9600)"},
//        {"--verbose", "", cli::kEveryMode,
//         cli::flag<SimOptions>([](SimOptions& o) { o.verbose = true; }), "log each request"},
//        cli::help_request<SimOptions>("--help", "show this text")},
//       {"Usage: sim [OPTIONS]\n\n"},  // prose; the options follow it
//       23};                           // the column their help starts in
//   SimOptions options;
//   const cli::Parsed parsed = cli::parse(kCommand, args, options);
//   if (!parsed.ok)   print "sim: " + parsed.error, exit 2
//   if (parsed.help)  print cli::help_text(kCommand), exit 0
//
// A program with subcommands lists them in Command::modes (the first is the
// one without a word) and gives each option the modes that take it; an
// option given in another mode is refused ("--rounds does not apply to
// scan"). Two rows may share a name when they serve different modes (a
// --baud that takes a list in scan and one speed otherwise); such rows
// agree on whether the option takes a value.
//
// The words: "--name value", "--name=value", "--flag"; a word that is not
// an option is the subcommand (the first such word, when it names a mode) or
// an operand, which only a mode with operands takes. Options are applied in
// the order given, so an option may act on what an earlier one made (line
// options after a --port apply to that line). The first fault ends the
// parse with one line for the user, without the program's name.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace cli {

// A set of modes: bit i stands for Command::modes[i].
using Modes = unsigned;
constexpr Modes kEveryMode = ~0u;
constexpr Modes mode_bit(std::size_t index) { return 1u << index; }

// Stores an option's value (empty for a flag) in the typed options; returns
// the user's error (starting with the option's name), or empty.
template <class Options>
using Apply = std::function<std::string(Options& options, const std::string& option,
                                        const std::string& value)>;

template <class Options>
struct Option {
    std::string name;        // "--baud"; also a short form such as "-h"
    std::string value_name;  // as the help shows it, "N"; empty: a flag, which takes no value
    Modes modes = kEveryMode;
    Apply<Options> apply;    // null only for a help request
    std::string help;        // lines after the first are indented to the help column;
                             // empty: not listed (an alias)
    std::size_t help_group = 0;  // listed after Command::help[help_group]
    bool shows_help = false;     // ends the parse: the user asked for the help text
};

struct Mode {
    std::string word;  // the subcommand as typed; empty for the mode without one
    std::string name;  // as a refusal names it: "does not apply to <name>"
    bool takes_operands = false;
};

template <class Options>
struct Command {
    std::vector<Option<Options>> options;
    // The help text's prose: part i, then the options of help group i.
    std::vector<std::string> help;
    std::size_t help_column = 21;
    std::vector<Mode> modes = {Mode{}};
};

struct Parsed {
    bool ok = false;
    std::string error;  // one line, when not ok
    bool help = false;  // a help request was met; nothing after it was read
    std::size_t mode = 0;  // index into Command::modes
    std::vector<std::string> operands;
};

// An option that asks for the help text.
template <class Options>
Option<Options> help_request(std::string name, std::string help, std::size_t help_group = 0)
{
    return Option<Options>{std::move(name), "", kEveryMode, nullptr, std::move(help), help_group,
                           true};
}

// What the parser needs of a row, apart from its typed action.
struct OptionShape {
    const std::string* name;
    bool takes_value;
    Modes modes;
    bool shows_help;
};

// The parse without the typed options: calls `apply` with the index of each
// row met and its value, in order; stops at its first error.
using ApplyRow = std::function<std::string(std::size_t row, const std::string& option,
                                           const std::string& value)>;
Parsed parse_words(const std::vector<OptionShape>& rows, const std::vector<Mode>& modes,
                   const std::vector<std::string>& args, const ApplyRow& apply);

struct HelpRow {
    std::string name;
    std::string value_name;
    std::string help;
    std::size_t help_group;
};
std::string lay_out_help(const std::vector<std::string>& prose, const std::vector<HelpRow>& rows,
                         std::size_t column);

// args: the arguments after the program's name.
template <class Options>
Parsed parse(const Command<Options>& command, const std::vector<std::string>& args,
             Options& options)
{
    std::vector<OptionShape> rows;
    for (const Option<Options>& option : command.options)
        rows.push_back({&option.name, !option.value_name.empty(), option.modes, option.shows_help});
    return parse_words(rows, command.modes, args,
                       [&](std::size_t row, const std::string& option, const std::string& value) {
                           return command.options[row].apply(options, option, value);
                       });
}

template <class Options>
std::string help_text(const Command<Options>& command)
{
    std::vector<HelpRow> rows;
    for (const Option<Options>& option : command.options)
        rows.push_back({option.name, option.value_name, option.help, option.help_group});
    return lay_out_help(command.help, rows, command.help_column);
}

}  // namespace cli
