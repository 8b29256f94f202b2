"""A dead meter: eight meters at 9600 baud on an emulated line, all alive and
then with meter 4 never answering, DEAD_ROUNDS rounds each, start-up and the
dead meter going offline included; each live meter's poll rate."""
from dataclasses import dataclass
from pathlib import Path

from . import meterhost, rtu_line
from .processes import RunFailed, Simulator, run_measured, say, with_one_retry
from .settings import Build, Settings

BAUD = 9600
METERS = 8
DEAD = 4


@dataclass(frozen=True)
class DeadMeter:
    rounds: int
    alive_s: float      # the run with all eight alive
    dead_s: float       # the run with meter 4 dead

    @property
    def share_of_alive_rate(self) -> float:
        return self.alive_s / self.dead_s


def _run(build: Build, work: Path, rounds: int, dead: bool) -> float:
    options = ["--line-time", "--baud", str(BAUD), "--slave", meterhost.slaves_up_to(METERS)]
    if dead:
        options += ["--dead", str(DEAD)]
    live = METERS - 1 if dead else METERS
    # Generous: three times the line's time with a timeout in every round.
    limit_s = 120 + 3 * rounds * (METERS * rtu_line.poll_seconds(BAUD) + 1)
    with Simulator(build.metersim, options, work) as simulator:
        measured = run_measured(build.bench_program("measure_cpu"),
                               meterhost.command(build, simulator.port, BAUD, METERS, rounds),
                               work, "dead" if dead else "alive", timeout_s=limit_s)
    # With a dead meter, meterhost says so in its status: a meter ended offline.
    printed = len(measured.output_lines())
    if measured.status not in ((0, 1) if dead else (0,)) or printed != live * rounds:
        raise RunFailed(f"meterhost on {METERS} meters, dead: {dead}: status {measured.status}, "
                        f"{printed} rounds printed of {live * rounds}")
    return measured.wall_s


def measure(build: Build, settings: Settings, work: Path) -> DeadMeter:
    say(f"bus: {METERS} meters at {BAUD} baud, all alive and one dead, "
        f"{settings.dead_rounds} rounds")
    alive = with_one_retry(_run, build, work, settings.dead_rounds, dead=False)
    dead = with_one_retry(_run, build, work, settings.dead_rounds, dead=True)
    return DeadMeter(settings.dead_rounds, alive, dead)
