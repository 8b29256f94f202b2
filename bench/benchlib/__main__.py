"""python3 -m benchlib: runs the measures of `make bench` on an optimised
build and writes the report. bench/run_bench.sh builds and then runs this."""
import argparse
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

from . import (benchmarks, bus_cost, bus_rate, dead_meter, footprint, instructions, line_limit,
               machine, report)
from .processes import RunFailed, say
from .settings import Build, Settings



@dataclass(frozen=True)
class Context:
    build: Build
    settings: Settings
    work: Path
    arguments: argparse.Namespace


# Each measure: the field of the results it fills, whether it needs meterhost
# and metersim, and how it is taken.
MEASURES = {
    "benchmarks": ("benchmarks", False,
                   lambda c: benchmarks.measure(c.build, c.settings, c.work)),
    "instructions": ("instructions", False,
                     lambda c: instructions.measure(c.build, c.settings, c.work)),
    "line": ("line_limit", True,
             lambda c: line_limit.measure(c.build, c.settings, c.work)
             if c.settings.line_runs > 0 else None),
    "bus-rate": ("bus_rate", True, lambda c: bus_rate.measure(c.build, c.settings, c.work)),
    "bus-cost": ("bus_cost", True, lambda c: bus_cost.measure(c.build, c.settings, c.work)),
    "dead-meter": ("dead_meter", True,
                   lambda c: dead_meter.measure(c.build, c.settings, c.work)),
    "footprint": ("footprint", False,
                  lambda c: footprint.measure(c.build, c.work, c.arguments.gateway_build,
                                              c.arguments.gateway_device_object)),
}
DEFAULT_REPORT = Path(__file__).resolve().parent.parent / "REPORT.md"

ENVIRONMENT_HELP = """\
how much is measured (environment variables, defaults in brackets):
  BENCH_REPETITIONS (9)   Google Benchmark repetitions of each operation
  PROBE_COUNT (2000)      operations per callgrind run
  LINE_RUNS (3)           runs per master on the 9600-baud line
  LINE_POLLS (150)        polls measured per run there
  BUS_COUNTS ("1 8 32 247"), BUS_BAUDS ("9600 115200")
                          meter counts and speeds of the line-rate table
  BUS_POLLS (100)         polls measured per run at 9600 baud (a faster line:
                          as many as it carries in the same time)
  COST_COUNTS ("1 8 32 64 128 247")
                          meter counts of the CPU and memory table
  COST_RUNS (7)           runs per meter count there
  COST_POLLS (1000)       polls measured per run there
  DEAD_ROUNDS (40)        rounds per meter in the dead-meter comparison
"""


def _arguments():
    parser = argparse.ArgumentParser(
        prog="python3 -m benchlib", description=__doc__, epilog=ENVIRONMENT_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", type=Path, required=True,
                        help="the optimised build folder (build-bench)")
    parser.add_argument("--gateway-build", type=Path,
                        help="the gateway build folder, for the mipsel module's size")
    parser.add_argument("--gateway-device-object", type=Path,
                        help="device_size_probe compiled for the gateway")
    parser.add_argument("--gateway-note", default="",
                        help="what the footprint says when there is no gateway build")
    parser.add_argument("--only", nargs="+", choices=list(MEASURES), metavar="MEASURE",
                        help="run only these measures (" + ", ".join(MEASURES) + "); the "
                             "report is then printed, not written, unless --report is given")
    parser.add_argument("--report", type=Path,
                        help=f"where to write the report (default {DEFAULT_REPORT})")
    return parser.parse_args()


def main() -> int:
    arguments = _arguments()
    settings = Settings.from_environment()
    build = Build(arguments.build.resolve())
    chosen = arguments.only or MEASURES
    results = report.Results(machine.describe(), machine.load_average(),
                             has_bench_host=build.has_bench_host,
                             repetitions=settings.repetitions,
                             gateway_note=arguments.gateway_note)
    with tempfile.TemporaryDirectory(prefix="bench.") as folder:
        context = Context(build, settings, Path(folder), arguments)
        try:
            for name in chosen:
                field, needs_bench_host, take = MEASURES[name]
                if build.has_bench_host or not needs_bench_host:
                    setattr(results, field, take(context))
        except RunFailed as failure:
            say(str(failure))
            return 1
        results.load_after = machine.load_average()
        # The callgrind profiles are read while rendering, so before the
        # work folder goes.
        text = report.render(results)
    destination = arguments.report or (None if arguments.only else DEFAULT_REPORT)
    if destination is not None:
        destination.write_text(text)
    sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
