// One line of the simulator's request log, taken apart: the meter it was
// for ("slave N: "), what the request was ("read 10+60", "write 16 = 500",
// "write 3 registers from 10") and the marks the simulator appended for each
// fault it showed. A request to a dead meter or to an address not on the
// line is logged too, and left unanswered.
#pragma once

#include <string>

namespace soak {

enum class RequestKind { Read, Write, Ignored, LineEvent, Unknown };

struct RequestLine {
    RequestKind kind = RequestKind::Unknown;
    int slave = 0;     // 0: the line names no meter
    std::string what;  // the line without its fault marks
    bool no_reply = false;
    bool delayed = false;
    bool exception = false;
    bool wrong_echo = false;
    bool bad_crc = false;

    bool faulted() const { return no_reply || delayed || exception || wrong_echo || bad_crc; }
    // Whether the reply reached the master whole (late counts as whole).
    bool reply_intact() const { return !no_reply && !exception && !bad_crc; }
};

RequestLine parse_request_line(const std::string& line);

}  // namespace soak
