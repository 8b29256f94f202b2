#include "devhost/meterhost/module_lines.h"

namespace meterhost {

namespace {

constexpr char kRoundPrefix[] = "rvSize is ";
constexpr char kErrorLine[] = "SPModbus get error";

}  // namespace

ModuleLine classify_module_line(const std::string& line, bool ended)
{
    if (!ended)
        return ModuleLine::Other;
    if (line == kErrorLine)
        return ModuleLine::Error;
    const std::size_t prefix = sizeof kRoundPrefix - 1;
    if (line.size() > prefix && line.compare(0, prefix, kRoundPrefix) == 0 &&
        line.find_first_not_of("0123456789", prefix) == std::string::npos &&
        (line[prefix] != '0' || line.size() == prefix + 1))
        return ModuleLine::Round;
    return ModuleLine::Other;
}

ModuleLine ModuleLineCounts::count(const std::string& line, bool ended)
{
    const ModuleLine kind = classify_module_line(line, ended);
    switch (kind) {
    case ModuleLine::Round: ++round_lines; break;
    case ModuleLine::Error: ++error_lines; break;
    case ModuleLine::Other: ++other_lines; break;
    }
    return kind;
}

}  // namespace meterhost
