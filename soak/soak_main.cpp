// kpm_soak: meterhost's session and line code driving the real module over
// two simulated lines of several meters for a bounded time, each line on its
// own thread as meterhost runs them, one meter dead, with faults at random,
// the pseudo-terminals closed and reopened under the host's feet, snapshot
// and value requests from other threads and register writes between polls.
// Prints a summary; exits 0 when every check held, 1 when one failed, 2 on a
// bad command line or set-up.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "devhost/meterhost/bench_session.h"
#include "devhost/meterhost/command_line.h"
#include "soak/diagnostic_lines.h"
#include "host/smd_spdevice.h"
#include "devhost/meterhost/host_config.h"
#include "devhost/meterhost/host_output.h"
#include "devhost/meterhost/line_poller.h"
#include "devhost/meterhost/meter_board.h"
#include "soak/meter_under_test.h"
#include "soak/process_memory.h"
#include "soak/simulated_line.h"
#include "soak/snapshot_readers.h"
#include "soak/soak_host.h"
#include "devhost/meterhost/stop_signal.h"

namespace {

struct SoakOptions {
    double seconds = 600;
    std::uint32_t seed = 0;
    std::string module = KPM_MODULE_PATH;
    int readers = 2;
    long rss_margin_kib = 2048;
};

// The lines driven: their names, their meters and the dead ones.
struct LinePlan {
    const char* name;
    std::vector<int> slaves;
    std::vector<int> dead;
};
const LinePlan kLinePlans[] = {
    {"A", {1, 2, 3}, {}},
    {"B", {4, 5}, {5}},
};

constexpr std::uint32_t kFirstDataId = 0x50AC;
constexpr int kTimeoutMs = 100;
constexpr std::chrono::milliseconds kFaultDelay{160};  // past the host's timeout
constexpr std::size_t kServedWindow = 1024;
constexpr unsigned long kWriteEvery = 4;  // a meter's polls per write to it
constexpr double kPollInterval = 0.002;   // seconds between a line's rounds
constexpr double kRetryMin = 1.0;         // offline meters: first and longest retry wait
constexpr double kRetryMax = 8.0;
constexpr double kMinReopenSeconds = 1.0;
constexpr double kMaxReopenSeconds = 3.0;

const char kUsage[] =
    "usage: kpm_soak [--seconds S] [--seed N] [--module PATH] [--readers N] [--rss-margin-kib N]\n";

bool parse_options(int argc, char** argv, SoakOptions& options, std::string& error)
{
    options.seed = static_cast<std::uint32_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            error = option + " needs a value";
            return false;
        }
        const std::string value = argv[++i];
        char* end = nullptr;
        if (option == "--seconds") {
            options.seconds = std::strtod(value.c_str(), &end);
            if (*end != '\0' || !(options.seconds > 0))
                error = "--seconds needs a positive number";
        } else if (option == "--seed") {
            options.seed = static_cast<std::uint32_t>(std::strtoul(value.c_str(), &end, 0));
            if (*end != '\0')
                error = "--seed needs a whole number";
        } else if (option == "--module") {
            options.module = value;
        } else if (option == "--readers") {
            options.readers = static_cast<int>(std::strtol(value.c_str(), &end, 10));
            if (*end != '\0' || options.readers < 0 || options.readers > 16)
                error = "--readers needs 0 to 16";
        } else if (option == "--rss-margin-kib") {
            options.rss_margin_kib = std::strtol(value.c_str(), &end, 10);
            if (*end != '\0' || options.rss_margin_kib < 0)
                error = "--rss-margin-kib needs a whole number";
        } else {
            error = "unknown option " + option;
        }
        if (!error.empty())
            return false;
    }
    return true;
}

// Closes and reopens a line's terminal at random intervals until stopped.
class Chaos {
public:
    Chaos(soak::SimulatedLine& line, std::uint32_t seed) : line_(line), random_(seed)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~Chaos()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

private:
    void run()
    {
        std::uniform_real_distribution<double> pause(kMinReopenSeconds, kMaxReopenSeconds);
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::duration<double>(pause(random_)),
                               [this] { return stopping_; }))
            line_.reopen_with_random_faults();
    }

    soak::SimulatedLine& line_;
    std::mt19937 random_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

// Messages of the host (meterhost's session, transports and line pollers),
// from any line thread.
class HostMessages {
public:
    void operator()(const std::string& message)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        if (message.find(" is offline: ") != std::string::npos)
            ++offline_[message.substr(0, message.find(" is offline: "))];
        if (message.find(" answers again: online") != std::string::npos)
            ++back_;
    }
    unsigned long count() const { return count_; }
    unsigned long offline(const std::string& meter) const
    {
        const auto found = offline_.find(meter);
        return found == offline_.end() ? 0 : found->second;
    }
    unsigned long offline_total() const
    {
        unsigned long total = 0;
        for (const auto& each : offline_)
            total += each.second;
        return total;
    }
    unsigned long back() const { return back_; }

private:
    std::mutex mutex_;
    unsigned long count_ = 0;
    std::map<std::string, unsigned long> offline_;  // by "meter N on PORT"
    unsigned long back_ = 0;
};

struct LineOutcome {
    std::string name;
    std::string link;
    soak::FaultCounts faults;
    unsigned long host_errors = 0;
    unsigned long unrecognised_log_lines = 0;
};

struct MeterOutcome {
    std::string name;
    std::string line;
    int slave = 0;
    bool dead = false;
    std::uint32_t data_id = 0;
    soak::HostCounts counts;
    soak::SlaveLog log;
    unsigned long offline_reports = 0;
};

struct Outcome {
    std::vector<LineOutcome> lines;
    std::vector<MeterOutcome> meters;
    soak::HostCounts host;  // over every meter
    soak::ReaderCounts readers;
    soak::DiagnosticCounts diagnostics;
    unsigned long host_errors = 0;
    unsigned long host_messages = 0;
    unsigned long offline_reports = 0;
    unsigned long back_reports = 0;
    soak::ResidentMemory after_warm_up;
    soak::ResidentMemory at_end;
    std::vector<std::string> problems;
};

// Every meter of the soak, the simulated lines and meterhost's session over
// them, each device's records going through its meter's checks.
class SoakRig {
public:
    SoakRig(const SoakOptions& options, const std::string& folder, HostMessages& messages)
    {
        std::size_t range = 0;
        for (const LinePlan& plan : kLinePlans) {
            std::vector<soak::MeterUnderTest*> on_line;
            for (int slave : plan.slaves) {
                const bool dead =
                    std::find(plan.dead.begin(), plan.dead.end(), slave) != plan.dead.end();
                meters_.push_back(std::make_unique<soak::MeterUnderTest>(plan.name, slave, range++,
                                                                         dead, kServedWindow));
                on_line.push_back(meters_.back().get());
            }
            const std::string link = folder + "/line-" + plan.name;
            lines_.push_back(std::make_unique<soak::SimulatedLine>(
                link, on_line, options.seed + static_cast<std::uint32_t>(lines_.size()),
                kFaultDelay));
            host_options_.lines.push_back(
                meterhost::LineOptions{link, {}, {}, plan.slaves, kTimeoutMs});
        }
        host_options_.module = options.module;
        host_options_.data_id = kFirstDataId;
        host_options_.json = true;  // the board then only formats a line per round
        host_options_.interval_s = kPollInterval;
        host_options_.retry_min_s = kRetryMin;
        host_options_.retry_max_s = kRetryMax;
        const meterhost::HostConfig config = meterhost::build_host_config(host_options_);
        if (!config.ok)
            throw meterhost::SetupFailure(meterhost::kExitUsage, config.error);
        session_ = std::make_unique<meterhost::BenchSession>(
            host_options_, config, [&messages](const std::string& text) { messages(text); });

        for (meterhost::MeterLine& line : session_->lines())
            for (meterhost::MeterDevice& device : line.meters) {
                soak::MeterUnderTest& meter = *meters_[device.index];
                meter.device = device.device.get();
                meter.data_id = device.data_id;
                meter.port = device.port;
                by_device_[device.device.get()] = &meter;
                checks_.push_back(
                    std::make_unique<soak::RecordCheck>(meter, session_->recorder()));
                bindings_.push_back(devhost::bind_backends(
                    *device.device, {line.transport.get(), checks_.back().get(), nullptr}));
            }
    }
    ~SoakRig()
    {
        bindings_.clear();  // before the session takes the devices down
        session_.reset();
    }

    meterhost::BenchSession& session() { return *session_; }
    const meterhost::HostOptions& host_options() const { return host_options_; }
    std::vector<soak::MeterUnderTest*> meters() const
    {
        std::vector<soak::MeterUnderTest*> all;
        for (const auto& meter : meters_)
            all.push_back(meter.get());
        return all;
    }
    soak::MeterUnderTest& meter_of(const SMDSPDevice* device) { return *by_device_.at(device); }
    soak::SimulatedLine& line(std::size_t index) { return *lines_.at(index); }
    std::size_t line_count() const { return lines_.size(); }

private:
    std::vector<std::unique_ptr<soak::MeterUnderTest>> meters_;  // in meterhost's order
    std::vector<std::unique_ptr<soak::SimulatedLine>> lines_;
    meterhost::HostOptions host_options_;
    std::unique_ptr<meterhost::BenchSession> session_;
    std::map<const SMDSPDevice*, soak::MeterUnderTest*> by_device_;
    std::vector<std::unique_ptr<soak::RecordCheck>> checks_;
    std::vector<devhost::BackendBinding> bindings_;
};

std::vector<meterhost::MeterRow> board_rows(meterhost::BenchSession& session)
{
    std::vector<meterhost::MeterRow> rows(session.meter_count());
    for (meterhost::MeterLine& line : session.lines())
        for (meterhost::MeterDevice& meter : line.meters) {
            rows[meter.index].port = meter.port;
            rows[meter.index].slave = meter.slave;
        }
    return rows;
}

Outcome run_soak(const SoakOptions& options, const std::string& folder,
                 soak::DiagnosticLines& diagnostics)
{
    Outcome outcome;
    HostMessages messages;
    SoakRig rig(options, folder, messages);
    meterhost::BenchSession& session = rig.session();

    meterhost::HostOutput silent;  // not diverted: the board's lines go nowhere
    meterhost::MeterBoard board(silent, true, meterhost::JsonTag::PortAndSlave,
                                board_rows(session));
    std::vector<std::unique_ptr<meterhost::LinePoller>> pollers;
    std::vector<std::unique_ptr<soak::MeterWriter>> writers;
    for (std::size_t i = 0; i < session.lines().size(); ++i) {
        meterhost::MeterLine& line = session.lines()[i];
        pollers.push_back(std::make_unique<meterhost::LinePoller>(
            line, session.recorder(), board, rig.host_options(),
            [&messages](const std::string& text) { messages(text); }));
        writers.push_back(std::make_unique<soak::MeterWriter>(
            *line.transport, rig.line(i), options.seed + 10 + static_cast<std::uint32_t>(i)));
        soak::MeterWriter& writer = *writers.back();
        pollers.back()->set_after_poll([&rig, &writer](meterhost::MeterDevice& device) {
            soak::MeterUnderTest& meter = rig.meter_of(device.device.get());
            if (++meter.counts.polls % kWriteEvery == 0)
                writer.write(meter);
        });
    }

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
        soak::SnapshotReaders readers(rig.meters(), options.readers);
        std::vector<std::unique_ptr<Chaos>> chaos;
        for (std::size_t i = 0; i < rig.line_count(); ++i)
            chaos.push_back(std::make_unique<Chaos>(
                rig.line(i), options.seed + 20 + static_cast<std::uint32_t>(i)));
        std::vector<std::thread> threads;
        for (auto& poller : pollers)
            threads.emplace_back([&poller, &stop] { poller->run(stop); });

        if (!stop.wait_until(warm_up_end))
            outcome.after_warm_up = soak::resident_memory();
        stop.wait_until(deadline);
        stop.request();
        for (std::thread& thread : threads)
            thread.join();
        chaos.clear();
        readers.stop();
        outcome.readers = readers.counts();
        for (const std::string& problem : readers.problems())
            soak::note_problem(outcome.problems, problem);
    }
    outcome.at_end = soak::resident_memory();
    outcome.diagnostics = diagnostics.finish();

    for (std::size_t i = 0; i < rig.line_count(); ++i) {
        LineOutcome line;
        line.name = kLinePlans[i].name;
        line.link = rig.line(i).link();
        line.faults = rig.line(i).faults();
        line.host_errors = session.lines()[i].transport->error_count();
        line.unrecognised_log_lines = rig.line(i).unrecognised();
        outcome.host_errors += line.host_errors;
        outcome.lines.push_back(line);
    }
    for (soak::MeterUnderTest* meter : rig.meters()) {
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
        each.offline_reports =
            messages.offline("meter " + std::to_string(meter->slave) + " on " + meter->port);
        outcome.host += meter->counts;
        for (const std::string& problem : meter->problems)
            soak::note_problem(outcome.problems, problem);
        outcome.meters.push_back(each);
    }
    outcome.host_messages = messages.count();
    outcome.offline_reports = messages.offline_total();
    outcome.back_reports = messages.back();
    return outcome;
}

// The checks on the run as a whole; the record, write, snapshot and value
// checks have run already and left their counts.
std::vector<std::string> verdict(const SoakOptions& options, const Outcome& outcome)
{
    std::vector<std::string> failures = outcome.problems;
    const auto fail_if = [&](bool failed, const std::string& what) {
        if (failed)
            failures.push_back(what);
    };
    const auto& h = outcome.host;
    const auto& d = outcome.diagnostics;
    fail_if(h.bad_records > 0, std::to_string(h.bad_records) +
                                   " records were not a block their own meter served");
    fail_if(h.bad_writes > 0, std::to_string(h.bad_writes) + " write outcomes contradict the meter");
    fail_if(outcome.readers.inconsistent > 0,
            std::to_string(outcome.readers.inconsistent) + " snapshot or value requests went wrong");
    fail_if(h.confirmed == 0, "no write was confirmed");
    for (const MeterOutcome& meter : outcome.meters) {
        if (meter.dead) {
            fail_if(meter.counts.rounds > 0, meter.name + " is dead but published records");
            fail_if(meter.offline_reports == 0, meter.name + " is dead but never reported offline");
            continue;
        }
        fail_if(meter.counts.rounds == 0, meter.name + " completed no round");
        fail_if(meter.counts.rounds > meter.log.intact_reads,
                meter.name + ": more records published than read replies it sent intact");
    }
    for (const LineOutcome& line : outcome.lines) {
        fail_if(line.unrecognised_log_lines > 0,
                "the simulator's log of line " + line.name + " had lines the soak does not know");
        fail_if(options.seconds >= 2 * kMaxReopenSeconds && line.faults.reopened == 0,
                "the terminal of line " + line.name + " was never reopened");
    }
    fail_if(d.other_lines > 0, std::to_string(d.other_lines) +
                                   " diagnostic lines were torn or unknown, the first: '" +
                                   (d.samples.empty() ? "" : d.samples.front()) + "'");
    fail_if(d.round_lines != h.rounds, std::to_string(d.round_lines) + " round lines for " +
                                           std::to_string(h.rounds) + " records published");
    fail_if(d.error_lines != outcome.host_errors,
            std::to_string(d.error_lines) + " error lines for " +
                std::to_string(outcome.host_errors) + " failed exchanges");
    fail_if(outcome.at_end.peak_kib > outcome.after_warm_up.peak_kib + options.rss_margin_kib,
            "peak RSS grew from " + std::to_string(outcome.after_warm_up.peak_kib) + " to " +
                std::to_string(outcome.at_end.peak_kib) + " KiB after warm-up");
    return failures;
}

void print_summary(std::FILE* out, const SoakOptions& options, const Outcome& outcome,
                   const std::vector<std::string>& failures)
{
    const auto& h = outcome.host;
    std::fprintf(out, "soak: %.0f s, seed %u, %zu lines, %zu meters, %d reader threads\n",
                 options.seconds, options.seed, outcome.lines.size(), outcome.meters.size(),
                 options.readers);
    for (const LineOutcome& line : outcome.lines) {
        std::string meters;
        for (const MeterOutcome& meter : outcome.meters)
            if (meter.line == line.name)
                meters += (meters.empty() ? "" : ", ") + std::to_string(meter.slave) +
                          (meter.dead ? " (dead)" : "");
        const auto& f = line.faults;
        std::fprintf(out,
                     "soak: line %s (%s), meters %s: faults no-reply %lu, delay %lu, exception "
                     "%lu, wrong-echo %lu, bad-crc %lu; terminal reopened %lu; %lu errors seen "
                     "by the host\n",
                     line.name.c_str(), line.link.c_str(), meters.c_str(), f.no_reply, f.delayed,
                     f.exception, f.wrong_echo, f.bad_crc, f.reopened, line.host_errors);
    }
    for (const MeterOutcome& meter : outcome.meters) {
        const auto& c = meter.counts;
        std::fprintf(out,
                     "soak: %s, data id %u%s: %lu polls, %lu records (%lu bad); %lu writes: %lu "
                     "confirmed, %lu refused, %lu unanswered, %lu contradict the meter; reported "
                     "offline %lu times; %lu requests unanswered by the meter\n",
                     meter.name.c_str(), meter.data_id, meter.dead ? " (dead)" : "", c.polls,
                     c.rounds, c.bad_records, c.writes, c.confirmed, c.refused, c.unanswered,
                     c.bad_writes, meter.offline_reports, meter.log.ignored);
    }
    std::fprintf(out, "soak: all meters: %lu polls, %lu records (%lu bad), %lu writes (%lu "
                      "contradict the meter)\n",
                 h.polls, h.rounds, h.bad_records, h.writes, h.bad_writes);
    std::fprintf(out,
                 "soak: %lu snapshot texts, %lu addresses and %lu value queries checked, %lu "
                 "wrong\n",
                 outcome.readers.texts, outcome.readers.addresses, outcome.readers.values,
                 outcome.readers.inconsistent);
    std::fprintf(out,
                 "soak: diagnostic lines on standard output: %lu round lines (%lu records), %lu "
                 "error lines (%lu failed exchanges), %lu torn or unknown\n",
                 outcome.diagnostics.round_lines, h.rounds, outcome.diagnostics.error_lines,
                 outcome.host_errors, outcome.diagnostics.other_lines);
    std::fprintf(out, "soak: host messages: %lu (%lu offline, %lu back online)\n",
                 outcome.host_messages, outcome.offline_reports, outcome.back_reports);
    std::fprintf(out, "soak: peak RSS %ld KiB after warm-up, %ld KiB at the end (margin %ld KiB)\n",
                 outcome.after_warm_up.peak_kib, outcome.at_end.peak_kib, options.rss_margin_kib);
    for (const std::string& failure : failures)
        std::fprintf(out, "soak: FAIL: %s\n", failure.c_str());
    std::fprintf(out, "soak: %s\n", failures.empty() ? "PASS" : "FAILED");
    std::fflush(out);
}

}  // namespace

int main(int argc, char** argv)
{
    SoakOptions options;
    std::string error;
    if (!parse_options(argc, argv, options, error)) {
        std::fprintf(stderr, "kpm_soak: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    char folder[] = "/tmp/kpm-soak-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        std::fprintf(stderr, "kpm_soak: mkdtemp: %s\n", std::strerror(errno));
        return 2;
    }
    int status = 0;
    try {
        soak::DiagnosticLines diagnostics;
        try {
            const Outcome outcome = run_soak(options, folder, diagnostics);
            const auto failures = verdict(options, outcome);
            print_summary(diagnostics.summary(), options, outcome, failures);
            status = failures.empty() ? 0 : 1;
        } catch (const meterhost::SetupFailure& failure) {
            std::fprintf(stderr, "kpm_soak: cannot set up: %s\n", failure.what());
            status = 2;
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "kpm_soak: %s\n", failure.what());
        status = 2;
    }
    rmdir(folder);
    return status;
}
