// Asks one address at one line setting for the module's block read, as a
// gateway polls a meter: through a device the module's provider makes,
// configured for that port, setting and address, whose RefreshStatus makes
// the request. Successive probes at one setting keep the line open: each
// probe's device joins the line before the previous one leaves it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <json/value.h>

#include "devhost/lines/line_transport.h"
#include "devhost/meterhost/meter_frames.h"
#include "devhost/meterhost/meter_records.h"
#include "devhost/meterhost/reporter.h"
#include "devhost/meterhost/session_events.h"
#include "devhost/runtime/backends.h"
#include "host/spmodbus.h"

namespace devhost {
class LoadedModule;
}  // namespace devhost

namespace meterhost {

class MeterProbe {
public:
    MeterProbe(const devhost::LoadedModule& module, Reporter report);
    ~MeterProbe();
    MeterProbe(const MeterProbe&) = delete;
    MeterProbe& operator=(const MeterProbe&) = delete;

    struct Outcome {
        enum class Kind {
            Answered,   // a valid reply: the module completed a round
            Silent,     // no reply, or none the module could take
            LineFailed  // the line could not be opened (the back-end said why)
        };
        Kind kind = Kind::Silent;
        std::string snapshot;  // the module's snapshot text, when answered
    };

    // config: the device's configuration (line.h settings keys). Throws
    // SetupFailure when the device refuses it.
    Outcome probe(const Json::Value& config);

    // Watches the frames of the probes' line; null for none.
    void set_observer(MeterFrameObserver* observer);

private:
    struct Probing {
        MeterIdentity id;
        std::unique_ptr<MeterRecords> records;
        std::unique_ptr<SPModbus> device;
        devhost::BackendBinding binding;
        Json::Value line;  // its configuration without the address
    };

    void release();

    const devhost::LoadedModule& module_;
    Reporter report_;
    ReportedMessages events_;
    std::unique_ptr<MeterFrames> frames_;  // while the probes' frames are watched
    devhost::LineTransport transport_;
    Probing current_;  // the device of the last probe, still on the line
};

}  // namespace meterhost
