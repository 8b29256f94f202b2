// kpm_soak: the bench host's session code driving the real module against
// metersim's simulator for a bounded time, with faults at random, the
// pseudo-terminal closed and reopened under the host's feet, snapshot
// requests from other threads and register writes. Prints a summary; exits 0
// when every check held, 1 when one failed, 2 on a bad command line or set-up.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>

#include "bench_session.h"
#include "command_line.h"
#include "host_config.h"
#include "host/smd_spdevice.h"
#include "process_memory.h"
#include "served_states.h"
#include "snapshot_readers.h"
#include "soak_host.h"
#include "soak_meter.h"

namespace {

struct SoakOptions {
    double seconds = 600;
    std::uint32_t seed = 0;
    std::string module = KPM_MODULE_PATH;
    int readers = 2;
    long rss_margin_kib = 2048;
};

constexpr std::uint32_t kDataId = 0x50AC;
constexpr int kTimeoutMs = 100;
constexpr std::chrono::milliseconds kFaultDelay{160};  // past the host's timeout
constexpr std::size_t kServedWindow = 1024;
constexpr int kWriteEvery = 4;                     // polls per write
constexpr std::chrono::milliseconds kPollPause{2};
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

// The module writes a line to standard output every round; the soak's own
// summary goes to a duplicate of the original standard output instead.
class QuietStdout {
public:
    QuietStdout() : summary_(fdopen(dup(STDOUT_FILENO), "w"))
    {
        std::fflush(stdout);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout() { std::fclose(summary_); }
    std::FILE* summary() const { return summary_; }

private:
    std::FILE* summary_;
};

// Closes and reopens the meter's terminal at random intervals until stopped.
class Chaos {
public:
    Chaos(soak::SoakMeter& meter, std::uint32_t seed) : meter_(meter), random_(seed)
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
            meter_.reopen_with_random_faults();
    }

    soak::SoakMeter& meter_;
    std::mt19937 random_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

metersim::RegisterValues first_block()
{
    metersim::RegisterValues block{};
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::uint16_t>(2200 + i);
    return block;
}

struct Outcome {
    soak::HostCounts host;
    soak::ReaderCounts readers;
    soak::FaultCounts faults;
    unsigned long intact_reads = 0;
    unsigned long unrecognised_log_lines = 0;
    unsigned long host_errors = 0;
    unsigned long host_messages = 0;
    soak::ResidentMemory after_warm_up;
    soak::ResidentMemory at_end;
    std::vector<std::string> problems;
};

Outcome run_soak(const SoakOptions& options, const std::string& link)
{
    Outcome outcome;
    soak::ServedStates served(kServedWindow);
    soak::SoakMeter meter(link, first_block(), served, options.seed, kFaultDelay);

    meterhost::HostOptions host_options;
    host_options.module = options.module;
    host_options.lines.push_back(meterhost::LineOptions{link, {}, {}, {}, kTimeoutMs});
    host_options.data_id = kDataId;
    const meterhost::HostConfig config = meterhost::build_host_config(host_options);
    if (!config.ok)
        throw meterhost::SetupFailure(meterhost::kExitUsage, config.error);
    meterhost::BenchSession session(host_options, config,
                                    [&](const std::string&) { ++outcome.host_messages; });

    soak::SoakHost host(session.device(), session.transport(), meter, options.seed + 1);
    soak::RecordCheck records(served, kDataId, host.counts(), host.problems());
    // Records go to the checks instead of the session's recorder.
    const devhost::BackendBinding checked = devhost::bind_backends(
        session.device(), devhost::Backends{&session.transport(), &records, nullptr});

    std::atomic<unsigned long> rounds{0};
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::duration<double>(options.seconds);
    // Warm-up: a fifth of the run, at most a minute.
    const auto warm_up_end =
        start + std::chrono::duration<double>(std::min(60.0, options.seconds / 5));
    {
        soak::SnapshotReaders readers(session.device(), served, rounds, options.readers);
        Chaos chaos(meter, options.seed + 2);
        bool warmed_up = false;
        for (unsigned long poll = 1; std::chrono::steady_clock::now() < deadline; ++poll) {
            host.poll();
            if (poll % kWriteEvery == 0)
                host.write();
            rounds = host.counts().rounds;
            if (!warmed_up && std::chrono::steady_clock::now() >= warm_up_end) {
                outcome.after_warm_up = soak::resident_memory();
                warmed_up = true;
            }
            std::this_thread::sleep_for(kPollPause);
        }
        readers.stop();
        outcome.readers = readers.counts();
        for (const std::string& problem : readers.problems())
            soak::note_problem(outcome.problems, problem);
    }
    outcome.at_end = soak::resident_memory();

    outcome.host = host.counts();
    for (const std::string& problem : host.problems())
        soak::note_problem(outcome.problems, problem);
    outcome.host_errors = session.transport().error_count();
    outcome.faults = meter.faults();
    outcome.intact_reads = meter.intact_reads();
    outcome.unrecognised_log_lines = meter.unrecognised();
    return outcome;
}

// The checks on the run as a whole; the record, write and snapshot checks
// have run already and left their counts.
std::vector<std::string> verdict(const SoakOptions& options, const Outcome& outcome)
{
    std::vector<std::string> failures = outcome.problems;
    const auto fail_if = [&](bool failed, const std::string& what) {
        if (failed)
            failures.push_back(what);
    };
    fail_if(outcome.host.bad_records > 0,
            std::to_string(outcome.host.bad_records) + " records were not a served block");
    fail_if(outcome.host.bad_writes > 0,
            std::to_string(outcome.host.bad_writes) + " write outcomes contradict the meter");
    fail_if(outcome.readers.inconsistent > 0,
            std::to_string(outcome.readers.inconsistent) + " snapshot requests went wrong");
    fail_if(outcome.host.rounds == 0, "no round completed");
    fail_if(outcome.host.confirmed == 0, "no write was confirmed");
    fail_if(outcome.host.rounds > outcome.intact_reads,
            "more records published than read replies the meter sent intact");
    fail_if(outcome.unrecognised_log_lines > 0,
            "the simulator's log had lines the soak does not know");
    fail_if(options.seconds >= 2 * kMaxReopenSeconds && outcome.faults.reopened == 0,
            "the terminal was never reopened");
    fail_if(outcome.at_end.peak_kib > outcome.after_warm_up.peak_kib + options.rss_margin_kib,
            "peak RSS grew from " + std::to_string(outcome.after_warm_up.peak_kib) + " to " +
                std::to_string(outcome.at_end.peak_kib) + " KiB after warm-up");
    return failures;
}

void print_summary(std::FILE* out, const SoakOptions& options, const Outcome& outcome,
                   const std::vector<std::string>& failures)
{
    const auto& h = outcome.host;
    const auto& f = outcome.faults;
    std::fprintf(out, "soak: %.0f s, seed %u, %d snapshot reader threads\n", options.seconds,
                 options.seed, options.readers);
    std::fprintf(out, "soak: %lu polls, %lu rounds; %lu records checked, %lu bad\n", h.polls,
                 h.rounds, h.records_checked, h.bad_records);
    std::fprintf(out,
                 "soak: %lu writes checked: %lu confirmed, %lu refused, %lu unanswered; %lu "
                 "contradict the meter\n",
                 h.writes, h.confirmed, h.refused, h.unanswered, h.bad_writes);
    std::fprintf(out, "soak: %lu snapshot texts and %lu addresses checked, %lu wrong\n",
                 outcome.readers.texts, outcome.readers.addresses, outcome.readers.inconsistent);
    std::fprintf(out,
                 "soak: faults: no-reply %lu, delay %lu, exception %lu, wrong-echo %lu, "
                 "bad-crc %lu, terminal reopened %lu\n",
                 f.no_reply, f.delayed, f.exception, f.wrong_echo, f.bad_crc, f.reopened);
    std::fprintf(out, "soak: errors seen by the host: %lu (%lu messages)\n", outcome.host_errors,
                 outcome.host_messages);
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
    const std::string link = std::string(folder) + "/meter";

    QuietStdout quiet;
    int status = 0;
    try {
        const Outcome outcome = run_soak(options, link);
        const auto failures = verdict(options, outcome);
        print_summary(quiet.summary(), options, outcome, failures);
        status = failures.empty() ? 0 : 1;
    } catch (const meterhost::SetupFailure& failure) {
        std::fprintf(stderr, "kpm_soak: cannot set up: %s\n", failure.what());
        status = 2;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "kpm_soak: %s\n", failure.what());
        status = 2;
    }
    rmdir(folder);
    return status;
}
