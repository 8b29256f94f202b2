#include "soak/request_log.h"

#include <cstdlib>

namespace soak {

namespace {

// The marks metersim appends to a logged request, one per fault shown.
struct FaultMark {
    const char* text;
    bool RequestLine::*flag;
};
constexpr FaultMark kFaultMarks[] = {
    {" [no reply]", &RequestLine::no_reply},     {" [delayed]", &RequestLine::delayed},
    {" [exception]", &RequestLine::exception},   {" [wrong echo]", &RequestLine::wrong_echo},
    {" [bad CRC]", &RequestLine::bad_crc},
};

bool starts_with(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

RequestLine parse_request_line(const std::string& line)
{
    RequestLine parsed;
    parsed.what = line;
    // A request's line starts with the slave it was for.
    const auto slave_end = line.find(": ");
    if (starts_with(line, "slave ") && slave_end != std::string::npos) {
        parsed.slave = std::atoi(line.c_str() + 6);
        parsed.what.erase(0, slave_end + 2);
    }
    for (const FaultMark& mark : kFaultMarks) {
        const auto at = parsed.what.find(mark.text);
        if (at == std::string::npos)
            continue;
        parsed.what.erase(at, std::string(mark.text).size());
        parsed.*mark.flag = true;
    }
    if (starts_with(parsed.what, "read "))
        parsed.kind = RequestKind::Read;
    else if (starts_with(parsed.what, "write "))
        parsed.kind = RequestKind::Write;
    else if (parsed.what == "dead, no answer" || parsed.what == "not on this line, no answer")
        parsed.kind = RequestKind::Ignored;
    else if (starts_with(parsed.what, "line ") || starts_with(parsed.what, "bad request") ||
             starts_with(parsed.what, "reply not sent"))
        parsed.kind = RequestKind::LineEvent;
    return parsed;
}

}  // namespace soak
