// The help text: the prose parts, each followed by its group's option list.
#include "cli/option_table.h"

namespace cli {

namespace {

// "  --name VALUE" and the help from the column on (two spaces further when
// the name reaches it), its later lines indented to the column.
void list_option(const HelpRow& row, std::size_t column, std::string& text)
{
    std::string line = "  " + row.name + (row.value_name.empty() ? "" : " " + row.value_name);
    line += line.size() < column ? std::string(column - line.size(), ' ') : "  ";
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = row.help.find('\n', start);
        text += (start == 0 ? line : std::string(column, ' ')) +
                row.help.substr(start, end - start) + '\n';
        if (end == std::string::npos)
            return;
        start = end + 1;
    }
}

}  // namespace

std::string lay_out_help(const std::vector<std::string>& prose, const std::vector<HelpRow>& rows,
                         std::size_t column)
{
    std::string text;
    for (std::size_t group = 0; group < prose.size(); ++group) {
        text += prose[group];
        for (const HelpRow& row : rows)
            if (row.help_group == group && !row.help.empty())
                list_option(row, column, text);
    }
    return text;
}

}  // namespace cli
