"""How much `make bench` measures, from environment variables, and where the
programs it measures are."""
import os
from dataclasses import dataclass
from pathlib import Path


def _number(name: str, default: int) -> int:
    return int(os.environ.get(name, default))


def _numbers(name: str, default: str) -> tuple:
    return tuple(int(word) for word in os.environ.get(name, default).split())


@dataclass(frozen=True)
class Settings:
    repetitions: int       # Google Benchmark repetitions of each benchmark
    probe_count: int       # operations per callgrind run
    line_runs: int         # runs per master on the 9600-baud line
    line_polls: int        # polls measured per run there
    bus_counts: tuple      # meter counts of the line-rate table
    bus_bauds: tuple       # line speeds of the line-rate table
    bus_polls: int         # polls measured per run at 9600 baud
    cost_counts: tuple     # meter counts of the CPU and memory table
    cost_runs: int         # runs per meter count there
    cost_polls: int        # polls measured per run there
    dead_rounds: int       # rounds of each meter in the dead-meter comparison

    @classmethod
    def from_environment(cls) -> "Settings":
        return cls(
            repetitions=_number("BENCH_REPETITIONS", 9),
            probe_count=_number("PROBE_COUNT", 2000),
            line_runs=_number("LINE_RUNS", 3),
            line_polls=_number("LINE_POLLS", 150),
            bus_counts=_numbers("BUS_COUNTS", "1 8 32 247"),
            bus_bauds=_numbers("BUS_BAUDS", "9600 115200"),
            bus_polls=_number("BUS_POLLS", 100),
            cost_counts=_numbers("COST_COUNTS", "1 8 32 64 128 247"),
            cost_runs=_number("COST_RUNS", 7),
            cost_polls=_number("COST_POLLS", 1000),
            dead_rounds=_number("DEAD_ROUNDS", 40),
        )


@dataclass(frozen=True)
class Build:
    """The optimised build folder of `make bench` and what is in it."""
    folder: Path

    @property
    def module(self) -> Path:
        return self.folder / "kalvorpowermeter.so"

    @property
    def meterhost(self) -> Path:
        return self.folder / "meterhost"

    @property
    def metersim(self) -> Path:
        return self.folder / "metersim"

    def bench_program(self, name: str) -> Path:
        return self.folder / "bench" / name

    @property
    def has_bench_host(self) -> bool:
        return self.meterhost.is_file() and self.metersim.is_file()
