"""The report's sections on the bench host's line: the line's limit, the bus
rate, the cost of a bus of meters and a dead meter's share."""
from . import rtu_line
from .report_data import (BUS_CPU_RATIO, BUS_KIB_PER_METER, DEAD_METER_SHARE, LINE_SHARE,
                          NO_BENCH_HOST, NOT_MEASURED, Results)
from .report_format import met_if, percent, prose, runs, table, whole, with_spread
from .stats import Spread


def _line_limit(results: Results) -> list:
    from .line_limit import BAUD, WARM_UP_POLLS
    limit = rtu_line.polls_per_second_limit(BAUD)
    lines = [
        "## The line's limit", "",
        f"A read of 60 registers at {BAUD} baud, 8N1 ({rtu_line.BITS_PER_CHAR} bits a "
        "character):",
        f"request {rtu_line.REQUEST_BYTES} bytes, reply {rtu_line.REPLY_BYTES} bytes, and 3.5 "
        "characters of",
        f"silence after each frame make {rtu_line.characters_per_poll():g}",
        f"character times, {1000 * rtu_line.poll_seconds(BAUD):.2f} ms a poll: "
        f"**at most {limit:.3f} polls per second**,",
        f"so 95 % is {LINE_SHARE * limit:.3f} polls per second. The simulator",
        "(`metersim --line-time`) paces the request, the silence before its reply",
        "and the reply; the silence after the reply is the master's to keep, and the",
        "simulator drops a request that comes sooner, as a meter on a real line would.", "",
    ]
    measured = results.line_limit
    if not results.has_bench_host:
        return lines + [NO_BENCH_HOST, ""]
    if measured is None or measured.runs == 0:
        return lines + [NOT_MEASURED, ""]
    host, plain = measured.masters["meterhost"], measured.masters["plain"]

    def rate(spread: Spread) -> str:
        return with_spread(spread, lambda value: f"{value:.3f}")
    host_share = host.polls_per_second.median / limit
    lines += [
        (f"Median of {measured.runs} runs, the lowest and highest in brackets. Each run is"
         if measured.runs > 1 else "One run,"),
        f"measured between its {WARM_UP_POLLS}th and its "
        f"{WARM_UP_POLLS + measured.polls}th poll (CPU time of all the",
        "master's threads, from the kernel, taken as those polls' output arrives), so",
        "start-up and shutdown are left out.", "",
        *table(("master", "polls per second", "of the line's limit", "CPU time per poll (µs)"),
               "lrrr", [
                   ("`meterhost --interval 0 --json`", rate(host.polls_per_second),
                    percent(host_share), with_spread(host.cpu_us_per_poll)),
                   ("plain libmodbus loop (`plain_master`)", rate(plain.polls_per_second),
                    percent(plain.polls_per_second.median / limit),
                    with_spread(plain.cpu_us_per_poll)),
               ]), "",
        "CPU time per poll, meterhost over the plain master: "
        f"**{host.cpu_us_per_poll.median / plain.cpu_us_per_poll.median:.2f}**.",
        "Target: meterhost at least 95 % of the line's limit: "
        + ("met" if host_share >= LINE_SHARE else f"missed ({percent(host_share)})") + ".",
        "",
        "At this speed the simulator hands over the reply one byte at a time, as the",
        "line carries it, and a master wakes up for each byte: most of either",
        "master's CPU time here is those wake-ups, which the kernel's scheduling and",
        "the machine's load make vary from run to run.",
    ]
    one_meter = results.bus_cost.row(1) if results.bus_cost is not None else None
    if one_meter is not None:
        lines += [f"On a line that answers at once meterhost spends "
                  f"{whole(one_meter.cpu_us_per_poll.median)} µs a poll (see",
                  "what a meter costs, below)."]
    return lines + [""]


def _bus_rate(results: Results) -> list:
    lines = ["### At the line's pace", "", *prose("""
The simulator paces the line at its speed (`--line-time`). The line's limit
counts the request (8 bytes), the reply (125 bytes) and the silence after each
(3.5 characters, 1.75 ms above 19200 baud), 8N1. Polls per second are taken
from the 10th poll of a run over the number of polls in the table (as many at
every speed as the line carries in the same time), so start-up is left out;
one run each, since the line sets the pace. The CPU time per poll here is
mostly meterhost waking up for each reply byte (see the line's limit above)
and is shown for information; the CPU verdict rests on the next table.
""")]
    rows = results.bus_rate
    if rows is None:
        return lines + [NOT_MEASURED, ""]
    return lines + [
        *table(("baud", "meters", "polls", "line limit (polls/s)", "whole line (polls/s)",
                "of the limit", "CPU per poll (µs)"), "rrrrrrr",
               [(row.baud, row.meters, row.polls, f"{row.limit:.2f}",
                 f"{row.polls_per_second:.2f}", percent(row.share_of_limit),
                 whole(row.cpu_us_per_poll)) for row in rows]),
        "",
    ]


def _bus_cost(results: Results) -> list:
    from .bus_cost import BAUD
    cost = results.bus_cost
    lines = [
        "### What a meter costs", "",
        "Here the simulator answers at once (no `--line-time`; meterhost at "
        f"{BAUD} baud",
        "still keeps the 1.75 ms of silence between frames), so that a thousand polls",
        "take seconds instead of minutes. On a line paced byte by byte meterhost wakes",
        "up once per reply byte: a cost the same for every meter count, set by the",
        "kernel and the machine's load, and the part of the CPU time that moved most",
        "from run to run. Left out, what is compared between meter counts is",
        "meterhost's own work per poll (the module, libmodbus, the JSON output), and",
        "the comparison is the stricter for it.", "",
    ]
    if cost is None:
        return lines + [NOT_MEASURED, ""]
    lines += [
        f"Each run is measured between every meter's first poll and {cost.polls} polls later:",
        "the CPU time of all of meterhost's threads (from the kernel, taken as those",
        "polls' output arrives) and the resident set at the end. "
        f"{runs(cost.runs).capitalize()} per count,",
        "the counts interleaved run by run, their order rotated from one run to the",
        "next, so that a change in the machine's load spreads over all of them; the",
        "median, with the lowest and highest run in brackets. Instructions per poll",
        "are counted by callgrind (user space only, independent of the machine's",
        "load) as the difference of two runs of different length: where the CPU time",
        "of a meter count moves and its instructions do not, the machine moved.", "",
    ]
    largest = cost.rows[-1].meters
    growth = cost.cpu_growth_of_runs
    cpu_line = [
        "The CPU time of one run moves with the speed the machine gives it at the",
        "time, on a shared or virtual machine by tens of percent, more than the",
        "medians of a few runs settle; so CPU per poll against the meter count is",
        f"read off a line through all {cost.runs * len(cost.rows)} runs: its slope is the "
        "median of the slopes",
        "between every two runs of different meter counts (Theil-Sen), so that a run",
        "the machine slowed down or sped up weighs little. On that line CPU per poll is",
        f"{whole(cost.cpu_on_line(1))} µs at one meter and {whole(cost.cpu_on_line(largest))} "
        f"µs at {largest} meters, **{100 * cost.cpu_growth(largest):.0f} %**",
        "of one meter's (each run's own line: lowest "
        f"{100 * growth.low:.0f} %, highest {100 * growth.high:.0f} %).", "",
    ]
    rows = []
    for row in cost.rows:
        ratio = cost.cpu_of_one_meter(row)
        rows.append((row.meters, with_spread(row.cpu_us_per_poll),
                     "–" if ratio is None else f"{100 * ratio:.0f} %",
                     whole(row.instructions_per_poll), with_spread(row.resident_kib),
                     with_spread(row.anonymous_kib)))
    per_meter = cost.resident_kib_per_meter
    lines += [
        *table(("meters", "CPU per poll (µs)", "median over one meter's",
                "instructions per poll", "resident (KiB)", "of it anonymous (KiB)"), "rrrrrr",
               rows), "",
        *cpu_line,
        "Memory per added meter is the slope of a least-squares line through the",
        "resident set over all the meter counts, one line per run, rather than a",
        "difference of two sizes: two runs with the same meter count differ by tens of",
        "KiB (pages of the shared libraries mapped or not), as much as a few added",
        "meters add. The median of the runs' slopes, the lowest and highest beside it:",
        f"**{per_meter.median:.1f} KiB per added meter** "
        f"(lowest {per_meter.low:.1f}, highest {per_meter.high:.1f}), of it",
        f"{cost.anonymous_kib_per_meter.median:.1f} KiB anonymous (heap and stacks).", "",
    ]
    return lines


def _ratio_verdict(ratios: list) -> str:
    """RATIOS: (this count's figure over one meter's, meter count)."""
    missed = [f"{meters} meters: {100 * ratio:.0f} %" for ratio, meters in ratios
              if ratio > BUS_CPU_RATIO]
    if missed:
        return "missed; " + "; ".join(missed)
    highest, at = max(ratios)
    return f"met (at most {100 * highest:.0f} %, {at} meters)"


def _bus_verdicts(results: Results) -> list:
    rows = []
    if results.bus_rate is not None:
        missed = [f"{row.meters} meters at {row.baud} baud: {percent(row.share_of_limit)}"
                  for row in results.bus_rate if row.share_of_limit < LINE_SHARE]
        rows.append(("whole line at least 95 % of its limit at every count",
                     "missed; " + "; ".join(missed) if missed else "met"))
    cost = results.bus_cost
    if cost is not None and cost.row(1) is not None:
        for target, ratio_of in (
                ("CPU per poll within 20 % of one meter’s (on the line through all runs)",
                 cost.cpu_growth),
                ("the same for instructions per poll (independent of the load)",
                 cost.instructions_of_one_meter)):
            rows.append((target, _ratio_verdict([(ratio_of(row.meters), row.meters)
                                                 for row in cost.rows if row.meters != 1])))
    if cost is not None:
        per_meter = cost.resident_kib_per_meter.median
        rows.append(("at most 16 KiB of resident memory per added meter",
                     f"{met_if(per_meter <= BUS_KIB_PER_METER)} ({per_meter:.1f} KiB)"))
    return table(("target", "verdict"), "ll", rows) + [""] if rows else []


def _dead_meter(results: Results) -> list:
    dead = results.dead_meter
    if dead is None:
        return ["### A dead meter", "", NOT_MEASURED, ""]
    share = dead.share_of_alive_rate
    return [
        "### A dead meter", "",
        f"Eight meters at 9600 baud with a one-second timeout, {dead.rounds}",
        "rounds each, start-up and the dead meter going offline included. With meter 4",
        "dead, meterhost takes it offline after three timeouts and tries it again after",
        "2 s, the wait doubling up to 60 s. One run each.", "",
        *table(("line", "run (s)", "each live meter (polls/s)"), "lrr", [
            ("all eight alive", f"{dead.alive_s:.1f}", f"{dead.rounds / dead.alive_s:.3f}"),
            ("meter 4 dead", f"{dead.dead_s:.1f}", f"{dead.rounds / dead.dead_s:.3f}"),
        ]), "",
        "Target: each live meter at least 90 % of its rate with all eight alive:",
        f"{met_if(share >= DEAD_METER_SHARE)} ({percent(share)}).", "",
    ]


def _bus(results: Results) -> list:
    lines = [
        "## A bus of meters", "",
        "meterhost (`--interval 0 --json --timeout-ms 1000`) polling meters 1 to N",
        "in turn on one simulated line (`metersim --slave 1-N`), each meter with its",
        "own live values. Every measured run is checked: each poll between its marks",
        "printed a round, the meters in turn, none missed.", "",
    ]
    if not results.has_bench_host:
        return lines + [NO_BENCH_HOST, ""]
    return (lines + _bus_rate(results) + _bus_cost(results) + _bus_verdicts(results)
            + _dead_meter(results))
