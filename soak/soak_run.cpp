#include "soak/soak_run.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "devhost/meterhost/bench_session.h"
#include "devhost/meterhost/stop_signal.h"
#include "soak/chaos.h"
#include "soak/soak_host.h"
#include "soak/soak_plan.h"

namespace soak {

namespace {

// What the session tells: each record through its meter's checks, a write
// every kWriteEvery polls of a meter, and the messages and state changes
// counted.
class SoakEvents final : public meterhost::SessionEvents {
public:
    explicit SoakEvents(const std::vector<MeterUnderTest*>& meters) : meters_(meters) {}

    // The writer of each line, before polling starts.
    void write_with(std::vector<MeterWriter*> writers) { writers_ = std::move(writers); }

    void message(const std::string&) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++messages_;
    }
    void went_offline(const meterhost::MeterIdentity& meter) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++offline_[meter.index];
    }
    void back_online(const meterhost::MeterIdentity&) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++back_;
    }
    void record_published(const meterhost::MeterIdentity& meter, int kind,
                          const unsigned char* data, unsigned int length) override
    {
        check_record(*meters_.at(meter.index), kind, data, length);
    }
    void polled(const meterhost::MeterIdentity& meter, const meterhost::PollOutcome&) override
    {
        MeterUnderTest& polled = *meters_.at(meter.index);
        if (++polled.counts.polls % kWriteEvery == 0)
            writers_.at(meter.line)->write(polled);
    }

    unsigned long messages() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    unsigned long offline(std::size_t meter) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = offline_.find(meter);
        return found == offline_.end() ? 0 : found->second;
    }
    unsigned long back() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return back_;
    }

private:
    const std::vector<MeterUnderTest*> meters_;  // by the session's index
    std::vector<MeterWriter*> writers_;          // by line
    mutable std::mutex mutex_;
    unsigned long messages_ = 0;
    std::map<std::size_t, unsigned long> offline_;  // by meter index
    unsigned long back_ = 0;
};

// The session's meters as the soak plans them: on each line its meters,
// the data ids numbered on over every line, the meterhost timeout.
meterhost::SessionOptions session_options(const SoakOptions& options,
                                          const std::vector<std::string>& links)
{
    meterhost::SessionOptions session;
    session.module = options.module;
    std::uint32_t data_id = kFirstDataId;
    for (std::size_t i = 0; i < links.size(); ++i) {
        meterhost::LineSetup& line = session.lines.emplace_back();
        line.port = links[i];
        for (int slave : kLinePlans[i].slaves) {
            Json::Value json(Json::objectValue);
            json["port"] = links[i];
            json["timeout_ms"] = kTimeoutMs;
            json["slave"] = slave;
            line.meters.push_back({slave, data_id++, json});
        }
    }
    return session;
}

meterhost::PollPolicy poll_policy()
{
    meterhost::PollPolicy policy;
    policy.interval_s = kPollInterval;
    policy.retry_min_s = kRetryMin;
    policy.retry_max_s = kRetryMax;
    return policy;
}

// Every meter of the soak, the simulated lines and meterhost's session over
// them, with the writers of its lines.
class SoakRig {
public:
    SoakRig(const SoakOptions& options, const std::string& folder)
    {
        std::vector<std::string> links;
        for (const LinePlan& plan : kLinePlans) {
            std::vector<MeterUnderTest*> on_line;
            for (int slave : plan.slaves) {
                const bool dead =
                    std::find(plan.dead.begin(), plan.dead.end(), slave) != plan.dead.end();
                meters_.push_back(std::make_unique<MeterUnderTest>(plan.name, slave, meters_.size(),
                                                                   dead, kServedWindow));
                on_line.push_back(meters_.back().get());
            }
            links.push_back(folder + "/line-" + plan.name);
            lines_.push_back(std::make_unique<SimulatedLine>(
                links.back(), on_line, options.seed + static_cast<std::uint32_t>(lines_.size()),
                kFaultDelay));
        }
        events_ = std::make_unique<SoakEvents>(meters());
        session_ = std::make_unique<meterhost::BenchSession>(session_options(options, links),
                                                             *events_);
        for (const meterhost::MeterIdentity& id : session_->meters()) {
            MeterUnderTest& meter = *meters_.at(id.index);
            meter.index = id.index;
            meter.data_id = id.data_id;
            meter.port = id.port;
            meter.device = &session_->device(id.index);
        }
        std::vector<MeterWriter*> writers;
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            writers_.push_back(std::make_unique<MeterWriter>(
                *session_, *lines_[i], options.seed + 10 + static_cast<std::uint32_t>(i)));
            writers.push_back(writers_.back().get());
        }
        events_->write_with(std::move(writers));
    }

    meterhost::BenchSession& session() { return *session_; }
    const SoakEvents& events() const { return *events_; }
    std::vector<MeterUnderTest*> meters() const
    {
        std::vector<MeterUnderTest*> all;
        for (const auto& meter : meters_)
            all.push_back(meter.get());
        return all;
    }
    SimulatedLine& line(std::size_t index) { return *lines_.at(index); }
    std::size_t line_count() const { return lines_.size(); }

private:
    std::vector<std::unique_ptr<MeterUnderTest>> meters_;  // in the session's order
    std::vector<std::unique_ptr<SimulatedLine>> lines_;
    std::unique_ptr<SoakEvents> events_;
    std::unique_ptr<meterhost::BenchSession> session_;
    std::vector<std::unique_ptr<MeterWriter>> writers_;
};

// The counts of the lines and meters once the run is over.
void collect(SoakRig& rig, Outcome& outcome)
{
    for (std::size_t i = 0; i < rig.line_count(); ++i) {
        LineOutcome line;
        line.name = kLinePlans[i].name;
        line.link = rig.line(i).link();
        line.faults = rig.line(i).faults();
        line.host_errors = rig.session().line_errors(i);
        line.unrecognised_log_lines = rig.line(i).unrecognised();
        outcome.host_errors += line.host_errors;
        outcome.lines.push_back(line);
    }
    for (MeterUnderTest* meter : rig.meters()) {
        MeterOutcome each;
        each.name = meter->name();
        each.line = meter->line;
        each.slave = meter->slave;
        each.dead = meter->dead;
        each.data_id = meter->data_id;
        each.counts = meter->counts;
        for (std::size_t i = 0; i < rig.line_count(); ++i)
            if (outcome.lines[i].name == meter->line)
                each.log = rig.line(i).slave_log(meter->slave);
        each.offline_reports = rig.events().offline(meter->index);
        outcome.offline_reports += each.offline_reports;
        outcome.host += meter->counts;
        for (const std::string& problem : meter->problems)
            note_problem(outcome.problems, problem);
        outcome.meters.push_back(each);
    }
    outcome.host_messages = rig.events().messages();
    outcome.back_reports = rig.events().back();
}

}  // namespace

Outcome run_soak(const SoakOptions& options, const std::string& folder,
                 DiagnosticLines& diagnostics)
{
    Outcome outcome;
    SoakRig rig(options, folder);

    using Clock = std::chrono::steady_clock;
    const auto after = [start = Clock::now()](double seconds) {
        return start + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(seconds));
    };
    const Clock::time_point deadline = after(options.seconds);
    // Warm-up: a fifth of the run, at most a minute.
    const Clock::time_point warm_up_end = after(std::min(60.0, options.seconds / 5));
    {
        meterhost::StopSignal stop;
        SnapshotReaders readers(rig.meters(), options.readers);
        std::vector<std::unique_ptr<Chaos>> chaos;
        for (std::size_t i = 0; i < rig.line_count(); ++i)
            chaos.push_back(std::make_unique<Chaos>(
                rig.line(i), options.seed + 20 + static_cast<std::uint32_t>(i)));
        std::thread polling([&rig, &stop] { rig.session().poll(poll_policy(), stop); });

        if (!stop.wait_until(warm_up_end))
            outcome.after_warm_up = resident_memory();
        stop.wait_until(deadline);
        stop.request();
        polling.join();
        chaos.clear();
        readers.stop();
        outcome.readers = readers.counts();
        for (const std::string& problem : readers.problems())
            note_problem(outcome.problems, problem);
    }
    outcome.at_end = resident_memory();
    outcome.diagnostics = diagnostics.finish();
    collect(rig, outcome);
    return outcome;
}

}  // namespace soak
