// The frame trace of --trace: every frame on every line, as one JSON line
// each, named by its meter, written to a file as it happens. It watches the
// lines of a session or a scan (meter_frames.h) and is called on their
// threads; each JSON line goes to the file in one write, so
// a reader never sees part of one, nor two mixed.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "devhost/lines/line.h"
#include "devhost/meterhost/meter_frames.h"
#include "devhost/meterhost/meter_identity.h"
#include "devhost/meterhost/reporter.h"

namespace meterhost {

// One trace line, ending in a line feed:
// {"t_us":N,"port":"P","dir":"sent","hex":"0103...","silence_us":N,"crc_ok":true,"slave":N}
// port and slave are the meter's, whom the exchange was with.
// t_us counts from `start` to the frame (line.h says when that is); a
// timeout has no bytes, silence or checksum. A frame the line did not take
// also has "problem":"why".
std::string trace_line(const MeterIdentity& meter, const devhost::LineFrame& frame,
                       std::chrono::steady_clock::time_point start);

class FrameTrace final : public MeterFrameObserver {
public:
    // Creates or empties the file; throws std::runtime_error naming it when
    // it cannot. A write that fails later is reported once, and the trace
    // stops there.
    FrameTrace(const std::string& path, Reporter report);
    ~FrameTrace() override;
    FrameTrace(const FrameTrace&) = delete;
    FrameTrace& operator=(const FrameTrace&) = delete;

    void on_frame(const MeterIdentity& meter, const devhost::LineFrame& frame) override;

private:
    const std::string path_;
    Reporter report_;
    const std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;  // guards what follows
    int fd_ = -1;       // -1 once a write failed
};

}  // namespace meterhost
