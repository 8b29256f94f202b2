// kpm-check's command line: its options as one table (cli/option_table.h),
// the words taken, and the help text.
#pragma once

#include <string>
#include <vector>

namespace kpmcheck {

struct Options {
    bool json = false;
    bool help = false;
    std::vector<std::string> lib_dirs;
    std::string module;  // empty: kalvorpowermeter.so beside kpm-check
};

// args: the words after the program's name. False, with one line for the
// user, for a command line it cannot take.
bool parse_command_line(const std::vector<std::string>& args, Options& options,
                        std::string& error);

std::string help_text();

}  // namespace kpmcheck
