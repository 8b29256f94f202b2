"""bench/REPORT.md: the figures of every measure, their targets and how each
figure was obtained. A measure left out of the run (`--only`) is marked as not
measured."""
from .report_bus import _bus, _line_limit
from .report_data import Results  # noqa: F401  (the callers' entry to the results)
from .report_module import _benchmarks, _footprint, _instructions, _machine


def render(results: Results) -> str:
    lines = [
        "# Benchmark report", "",
        "Written by `make bench` (bench/run_bench.sh and bench/benchlib); do not edit by",
        "hand.", "",
    ]
    for section in (_machine, _benchmarks, _instructions, _line_limit, _bus, _footprint):
        lines += section(results)
    while lines and lines[-1] == "":
        lines.pop()
    return "\n".join(lines) + "\n"
