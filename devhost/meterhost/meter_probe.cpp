#include "devhost/meterhost/meter_probe.h"

#include <algorithm>

#include "devhost/meterhost/bench_session.h"
#include "devhost/runtime/module_loader.h"
#include "devhost/meterhost/snapshot_view.h"

namespace meterhost {

namespace {

Json::Value without_address(Json::Value config)
{
    config.removeMember("slave");
    return config;
}

}  // namespace

MeterProbe::MeterProbe(const devhost::LoadedModule& module, Reporter report)
    : module_(module), report_(report), events_(report), transport_(report)
{
}

MeterProbe::~MeterProbe() { release(); }

void MeterProbe::set_observer(MeterFrameObserver* observer)
{
    // The probes' addresses are no session's meters: each frame is named by
    // its port and address.
    auto frames = observer != nullptr ? std::make_unique<MeterFrames>(*observer,
                                                                      std::vector<MeterIdentity>{})
                                      : nullptr;
    transport_.set_observer(frames.get());
    frames_ = std::move(frames);
}

void MeterProbe::release()
{
    if (current_.device != nullptr)
        transport_.forget(*current_.device);
    current_.device.reset();  // through the virtual destructor, in the module's code
    current_.binding.reset();
}

MeterProbe::Outcome MeterProbe::probe(const Json::Value& config)
{
    // Two devices on one port must agree on its setting: at another setting
    // the line is set up anew.
    const int slave = config["slave"].asInt();
    Probing next;
    next.line = without_address(config);
    if (current_.device != nullptr && current_.line != next.line)
        release();
    next.id.port = config["port"].asString();
    next.id.slave = slave;
    next.id.data_id = static_cast<std::uint32_t>(slave);
    try {
        next.device = module_.create_device();
    } catch (const devhost::ModuleLoadError& error) {
        throw SetupFailure(kExitUsage, error.what());
    }
    // A probe's records stay with it: a round of an earlier probe cannot pass
    // for this one's.
    next.records = std::make_unique<MeterRecords>(next.id, nullptr, events_);
    next.binding =
        devhost::bind_backends(*next.device, {&transport_, next.records.get(), nullptr});
    if (!next.device->Init(std::weak_ptr<SMDController>(), next.id.data_id, config)) {
        transport_.forget(*next.device);
        throw SetupFailure(kExitUsage, "the device for slave " + std::to_string(slave) + " on " +
                                           config["port"].asString() +
                                           " rejected its configuration");
    }
    release();
    current_ = std::move(next);

    SPModbus& device = *current_.device;
    if (device.OpenPort() != 0)
        return {Outcome::Kind::LineFailed, ""};
    current_.records->mark();
    device.RefreshStatus();
    // Silent addresses are what a scan expects; they are not reported.
    const auto done = transport_.perform_pending(devhost::LineTransport::Failures::Quiet);
    const bool answered =
        !done.empty() && std::all_of(done.begin(), done.end(), [&](const devhost::Transaction& t) {
            return t.answered && t.device == &device;
        });
    if (!answered || !current_.records->published())
        return {};
    const auto text = request_snapshot(device);
    if (!text) {
        report_("the device of slave " + std::to_string(slave) + " on " +
                config["port"].asString() + " answered but gave no snapshot (request " +
                std::to_string(kSnapshotTextRequest) + ")");
        return {};
    }
    return {Outcome::Kind::Answered, *text};
}

}  // namespace meterhost
