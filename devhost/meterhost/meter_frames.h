// The frames of a session's lines, each named by the meter its exchange was
// with (meter_identity.h), for a trace. A line knows its meters only by
// their addresses; MeterFrames watches one line and puts the name on.
#pragma once

#include <vector>

#include "devhost/lines/line.h"
#include "devhost/meterhost/meter_identity.h"

namespace meterhost {

class MeterFrameObserver {
public:
    virtual ~MeterFrameObserver() = default;
    // On the line's thread, after each frame (line.h says when).
    virtual void on_frame(const MeterIdentity& meter, const devhost::LineFrame& frame) = 0;
};

class MeterFrames final : public devhost::LineObserver {
public:
    // meters: the line's; a frame with another address (a scan's probe) is
    // named by the line's port and that address.
    MeterFrames(MeterFrameObserver& observer, std::vector<MeterIdentity> meters);

    void on_frame(const devhost::LineSettings& line, const devhost::LineFrame& frame) override;

private:
    MeterFrameObserver& observer_;
    const std::vector<MeterIdentity> meters_;
};

}  // namespace meterhost
