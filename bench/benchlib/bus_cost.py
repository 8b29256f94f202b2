"""What a meter costs meterhost: CPU time and instructions per poll, and
resident memory, for 1 to 247 meters on one line.

The simulator answers at once here (no --line-time), at 115200 baud, so that
a run of a thousand polls takes seconds; meterhost still keeps the silence
between frames. On a line paced byte by byte meterhost wakes up once per
reply byte, a cost the same for every meter count and set by the kernel and
the machine's load; left out, the comparison between meter counts is of
meterhost's own work, and the stricter for it.

Each run is marked after every meter's first poll and COST_POLLS polls later:
CPU time is the difference at the two marks (all threads, from the kernel),
memory the resident set at the second. COST_RUNS runs per count, the counts
interleaved run by run, their order rotated from one run to the next, so that
a change in the machine's load spreads over all of them. The CPU time of a
run moves by tens of percent with the speed the machine gives it at the time,
so its growth with the meter count is read off a robust line through every
run of every count; memory per added meter is the slope of each run's
least-squares line. Instructions per poll (callgrind, user space, independent
of the load) are the difference of two runs of different length.
"""
import math
from dataclasses import dataclass
from pathlib import Path

from . import meterhost
from .instructions import callgrind
from .processes import RunFailed, Simulator, say, with_one_retry
from .settings import Build, Settings
from .stats import PollRuns, Spread, robust_line, slope, spread_of

BAUD = 115200
CALLGRIND_POLLS = 200     # polls between the two callgrind runs, at least


@dataclass(frozen=True)
class Sample:
    """One run of one meter count."""
    cpu_us_per_poll: float
    resident_kib: int
    anonymous_kib: int


@dataclass(frozen=True)
class CostRow:
    meters: int
    cpu_us_per_poll: Spread
    instructions_per_poll: float
    resident_kib: Spread
    anonymous_kib: Spread


@dataclass(frozen=True)
class BusCost(PollRuns):
    rows: list                    # CostRow by ascending meter count
    resident_kib_per_meter: Spread  # slopes of the runs' fits
    anonymous_kib_per_meter: Spread
    cpu_line: tuple               # (intercept, slope) through every run's CPU per poll
    cpu_growth_of_runs: Spread    # each run's own line: largest count over one meter

    def cpu_on_line(self, meters: int) -> float:
        intercept, gradient = self.cpu_line
        return intercept + gradient * meters

    def cpu_growth(self, meters: int) -> float:
        """CPU per poll at METERS over one meter's, on the line through all runs."""
        return self.cpu_on_line(meters) / self.cpu_on_line(1)

    def row(self, meters: int):
        return next((row for row in self.rows if row.meters == meters), None)

    def cpu_of_one_meter(self, row: CostRow):
        """This count's median CPU per poll over one meter's, or None."""
        one = self.row(1)
        return None if one is None else row.cpu_us_per_poll.median / one.cpu_us_per_poll.median

    def instructions_of_one_meter(self, meters: int) -> float:
        return self.row(meters).instructions_per_poll / self.row(1).instructions_per_poll


def _first_mark(count: int) -> int:
    """After every meter's first poll, which sets the meter up."""
    return max(count, 10)


def _instructions_per_poll(build: Build, work: Path, count: int) -> float:
    short_rounds = math.ceil(10 / count)
    long_rounds = short_rounds + math.ceil(CALLGRIND_POLLS / count)
    counted = {}
    for rounds in (short_rounds, long_rounds):
        with Simulator(build.metersim, ["--baud", str(BAUD), "--slave",
                                        meterhost.slaves_up_to(count)], work) as simulator:
            counted[rounds] = callgrind(
                meterhost.command(build, simulator.port, BAUD, count, rounds),
                work / "meterhost.callgrind", work / "meterhost.callgrind.log")
    return (counted[long_rounds] - counted[short_rounds]) / (count * (long_rounds - short_rounds))


def measure(build: Build, settings: Settings, work: Path) -> BusCost:
    counts = sorted(settings.cost_counts)
    if len(counts) < 2:
        raise RunFailed("the cost per meter needs at least two meter counts (COST_COUNTS)")
    samples = {count: [] for count in counts}
    for run in range(1, settings.cost_runs + 1):
        say(f"cost per meter: run {run} of {settings.cost_runs}, "
            f"{settings.cost_polls} polls for each of {' '.join(map(str, counts))} meters")
        for count in counts[run % len(counts):] + counts[:run % len(counts)]:
            first = _first_mark(count)
            last = first + settings.cost_polls
            measured = with_one_retry(meterhost.run_marked, build, work, "cost", count, BAUD,
                                      first, last, line_time=False)
            cpu_s, _ = measured.between(first, last)
            end = measured.mark(last)
            samples[count].append(Sample(cpu_s / settings.cost_polls * 1e6, end.rss_kib,
                                         end.anon_kib))

    def of_runs(count: int, figure: str) -> Spread:
        return spread_of(getattr(sample, figure) for sample in samples[count])

    def per_added_meter(figure: str) -> Spread:
        """The slopes of the runs' fits, one fit per run over all counts."""
        return spread_of(slope(counts, [getattr(samples[count][run], figure) for count in counts])
                         for run in range(settings.cost_runs))

    def growth_of_run(run: int) -> float:
        intercept, gradient = robust_line(
            counts, [samples[count][run].cpu_us_per_poll for count in counts])
        return (intercept + gradient * counts[-1]) / (intercept + gradient)

    say("cost per meter: instructions per poll under callgrind")
    rows = [CostRow(count, of_runs(count, "cpu_us_per_poll"),
                    with_one_retry(_instructions_per_poll, build, work, count),
                    of_runs(count, "resident_kib"), of_runs(count, "anonymous_kib"))
            for count in counts]
    every_run = [(count, sample.cpu_us_per_poll) for count in counts
                 for sample in samples[count]]
    return BusCost(settings.cost_runs, settings.cost_polls, rows,
                   per_added_meter("resident_kib"), per_added_meter("anonymous_kib"),
                   robust_line(*zip(*every_run)),
                   spread_of(growth_of_run(run) for run in range(settings.cost_runs)))
