#include "devhost/meterhost/line_changes.h"

namespace meterhost {

namespace {

bool starts_with(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

LineChange line_change_in(const std::string& message, const std::string& port)
{
    // The back-end's words: "cannot open port P: why" when the line does not
    // open, "port P lost (why); reopening at the next poll" when it fails
    // while open, "port P is back" when it opens after either.
    if (starts_with(message, "cannot open port " + port + ": ") ||
        starts_with(message, "port " + port + " lost ("))
        return LineChange::Lost;
    if (message == "port " + port + " is back")
        return LineChange::Back;
    return LineChange::None;
}

}  // namespace meterhost
