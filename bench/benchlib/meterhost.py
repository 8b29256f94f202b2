"""meterhost as the bus measures run it: polling meters 1 to N on one
simulated line, `--interval 0 --json --timeout-ms 1000`, with a check that
every meter answered in its turn."""
import json
from pathlib import Path

from . import rtu_line
from .processes import Measured, RunFailed, Simulator, run_measured
from .settings import Build

TIMEOUT_MS = 1000
# meterhost runs until stopped once the last mark is taken.
ENDLESS_ROUNDS = 1000000


def slaves_up_to(count: int) -> str:
    return "1" if count == 1 else f"1-{count}"


def command(build: Build, port: str, baud: int, count: int, rounds: int) -> list:
    return [build.meterhost, "--module", build.module, "--port", port, "--baud", baud,
            "--slave", slaves_up_to(count), "--timeout-ms", TIMEOUT_MS, "--interval", 0,
            "--rounds", rounds, "--json"]


def check_turns(measured: Measured, first: int, last: int, live: list) -> None:
    """Lines FIRST+1 to LAST of meterhost's output (one per completed poll)
    must come from the live meters in turn: a poll that failed leaves its
    meter out of the sequence."""
    lines = measured.output_lines()[first:last]
    if len(lines) != last - first:
        raise RunFailed(f"{measured.output.name}: {len(lines)} polls of {last - first} printed")
    expected = None
    for number, line in enumerate(lines, first + 1):
        try:
            record = json.loads(line)
        except ValueError:
            raise RunFailed(f"{measured.output.name}: line {number} is not JSON") from None
        if len(live) == 1:
            continue
        slave = record.get("slave")
        if expected is not None and slave != expected:
            raise RunFailed(f"{measured.output.name}: line {number} is from meter {slave}, "
                            f"not {expected}: a poll failed")
        if slave not in live:
            raise RunFailed(f"{measured.output.name}: line {number} is from meter {slave}")
        expected = live[(live.index(slave) + 1) % len(live)]


def run_marked(build: Build, work: Path, name: str, count: int, baud: int, first: int,
               last: int, line_time: bool) -> Measured:
    """meterhost on meters 1 to COUNT, marked at its FIRST-th and LAST-th
    completed poll and stopped at the last; with LINE_TIME the simulator
    paces the line at BAUD, without it it answers at once."""
    options = ["--baud", str(baud), "--slave", slaves_up_to(count)]
    if line_time:
        options.append("--line-time")
    # Generous: three times the line's own time, and start-up.
    limit_s = 60 + 3 * last * rtu_line.poll_seconds(baud)
    with Simulator(build.metersim, options, work) as simulator:
        measured = run_measured(build.bench_program("measure_cpu"),
                           command(build, simulator.port, baud, count, ENDLESS_ROUNDS),
                           work, name, marks=(first, last), stop_after_marks=True,
                           timeout_s=limit_s)
    if measured.status != 0:
        raise RunFailed(f"{name}: meterhost ended with status {measured.status}")
    check_turns(measured, first, last, list(range(1, count + 1)))
    return measured
