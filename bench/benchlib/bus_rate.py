"""A bus of meters at the line's pace: meterhost polling meters 1 to N on one
line emulated at its speed (`metersim --line-time`), polls per second of the
whole line against the line's limit. One run per speed and meter count,
marked at the 10th poll and, at 9600 baud, BUS_POLLS polls later; a faster
line is measured over as many polls as it carries in the same time, so that
every row averages the machine's scheduling over as long a stretch."""
from dataclasses import dataclass
from pathlib import Path

from . import meterhost, rtu_line
from .processes import say, with_one_retry
from .settings import Build, Settings

WARM_UP_POLLS = 10
REFERENCE_BAUD = 9600


@dataclass(frozen=True)
class RateRow:
    baud: int
    meters: int
    polls: int
    polls_per_second: float
    cpu_us_per_poll: float

    @property
    def limit(self) -> float:
        return rtu_line.polls_per_second_limit(self.baud)

    @property
    def share_of_limit(self) -> float:
        return self.polls_per_second / self.limit


def measure(build: Build, settings: Settings, work: Path) -> list:
    rows = []
    for baud in settings.bus_bauds:
        polls = polls_at(baud, settings.bus_polls)
        last = WARM_UP_POLLS + polls
        for count in settings.bus_counts:
            say(f"bus: {count} meters at {baud} baud, {polls} polls")
            measured = with_one_retry(meterhost.run_marked, build, work, "bus", count, baud,
                                      WARM_UP_POLLS, last, line_time=True)
            cpu_s, wall_s = measured.between(WARM_UP_POLLS, last)
            rows.append(RateRow(baud, count, polls, polls / wall_s, cpu_s / polls * 1e6))
    return rows


def polls_at(baud: int, polls_at_reference: int) -> int:
    """As many polls as the line carries at BAUD in the time of
    POLLS_AT_REFERENCE polls at 9600 baud."""
    return max(polls_at_reference, round(polls_at_reference * rtu_line.poll_seconds(REFERENCE_BAUD)
                                         / rtu_line.poll_seconds(baud)))
