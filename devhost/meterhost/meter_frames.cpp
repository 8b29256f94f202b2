#include "devhost/meterhost/meter_frames.h"

namespace meterhost {

MeterFrames::MeterFrames(MeterFrameObserver& observer, std::vector<MeterIdentity> meters)
    : observer_(observer), meters_(std::move(meters))
{
}

void MeterFrames::on_frame(const devhost::LineSettings& line, const devhost::LineFrame& frame)
{
    for (const MeterIdentity& meter : meters_)
        if (meter.slave == frame.slave)
            return observer_.on_frame(meter, frame);
    MeterIdentity unknown;
    unknown.port = line.port;
    unknown.slave = frame.slave;
    observer_.on_frame(unknown, frame);
}

}  // namespace meterhost
