"""Time and heap allocations per operation: the Google Benchmark cases of
module_benchmarks, each repeated, the repetitions of all cases interleaved in
random order so that a change in the machine's load spreads over all of them
rather than one."""
import csv
import subprocess
from dataclasses import dataclass
from pathlib import Path

from .processes import RunFailed, say, tail
from .settings import Build, Settings


@dataclass(frozen=True)
class Operation:
    cpu_ns: float          # median CPU time
    fastest_cpu_ns: float  # the fastest repetition's CPU time
    wall_ns: float         # median wall time
    allocations: float     # median allocations per operation


def measure(build: Build, settings: Settings, work: Path) -> dict:
    """Operation figures by benchmark name (BM_PollingRound, ...)."""
    say(f"benchmarks: {settings.repetitions} repetitions each")
    table, errors = work / "benchmarks.csv", work / "benchmarks.err"
    with open(table, "w") as out, open(errors, "w") as err:
        finished = subprocess.run(
            [str(build.bench_program("module_benchmarks")),
             f"--benchmark_repetitions={settings.repetitions}",
             "--benchmark_enable_random_interleaving=true",
             "--benchmark_report_aggregates_only=true", "--benchmark_format=csv"],
            stdout=out, stderr=err, check=False)
    if finished.returncode != 0:
        raise RunFailed(f"module_benchmarks failed: {tail(errors)}")
    rows = {}
    with open(table, newline="") as csv_file:
        for row in csv.DictReader(csv_file):
            rows[row["name"]] = row
    operations = {}
    for name in sorted({key.rsplit("_", 1)[0] for key in rows}):
        median, fastest = rows[f"{name}_median"], rows[f"{name}_min"]
        operations[name] = Operation(float(median["cpu_time"]), float(fastest["cpu_time"]),
                                     float(median["real_time"]), float(median["allocs"]))
    return operations
