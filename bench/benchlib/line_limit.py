"""Polls per second on an emulated 9600-baud line against the line's limit,
and the CPU time per poll of meterhost and of a plain libmodbus master
(plain_master) there. Each run is marked at the 10th and at the last poll,
so start-up and shutdown are left out."""
from dataclasses import dataclass
from pathlib import Path

from . import rtu_line
from .processes import RunFailed, Simulator, run_measured, say, with_one_retry
from .settings import Build, Settings
from .stats import PollRuns, Spread, spread_of

BAUD = 9600
WARM_UP_POLLS = 10
MASTERS = ("meterhost", "plain")


@dataclass(frozen=True)
class MasterFigures:
    polls_per_second: Spread
    cpu_us_per_poll: Spread


@dataclass(frozen=True)
class LineLimit(PollRuns):
    masters: dict       # MasterFigures by master


def _command(build: Build, master: str, port: str, polls: int) -> list:
    if master == "meterhost":
        return [build.meterhost, "--module", build.module, "--port", port, "--baud", BAUD,
                "--interval", 0, "--rounds", polls, "--json"]
    return [build.bench_program("plain_master"), port, polls]


def _run(build: Build, work: Path, master: str, polls: int):
    last = WARM_UP_POLLS + polls
    with Simulator(build.metersim, ["--line-time", "--baud", str(BAUD)], work) as simulator:
        measured = run_measured(build.bench_program("measure_cpu"),
                           _command(build, master, simulator.port, last), work, master,
                           marks=(WARM_UP_POLLS, last),
                           timeout_s=60 + 3 * last * rtu_line.poll_seconds(BAUD))
    if measured.status != 0:
        raise RunFailed(f"{master} ended with status {measured.status}: "
                        f"{measured.errors.read_text().strip()[-300:]}")
    cpu_s, wall_s = measured.between(WARM_UP_POLLS, last)
    return polls / wall_s, cpu_s / polls * 1e6


def measure(build: Build, settings: Settings, work: Path) -> LineLimit:
    say(f"line limit: {settings.line_runs} runs of {settings.line_polls} polls per master")
    figures = {master: [] for master in MASTERS}
    for _ in range(settings.line_runs):
        for master in MASTERS:
            figures[master].append(with_one_retry(_run, build, work, master,
                                                  settings.line_polls))
    return LineLimit(settings.line_runs, settings.line_polls, {
        master: MasterFigures(spread_of(rate for rate, _ in runs),
                              spread_of(cpu for _, cpu in runs))
        for master, runs in figures.items()})
