#include "soak/verdict.h"

#include "soak/soak_plan.h"

namespace soak {

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

}  // namespace soak
