"""Instructions per operation under callgrind: instruction_probe repeats one
operation in one process, counted after one warm-up operation; the probe
loop's own cost (the loop-overhead operation) is subtracted. The counts do not
depend on the machine's load."""
import re
import subprocess
from dataclasses import dataclass
from pathlib import Path

from .processes import RunFailed, say, tail
from .settings import Build, Settings

OPERATIONS = ("loop-overhead", "round", "round-with-stdout", "diagnostic-line", "snapshot-text",
              "snapshot-text-rebuilt", "snapshot-address", "write-register", "load-from-cache")

# Frames of the probe and of the C runtime, left out of the tables of where
# the instructions go.
_NOT_SHOWN = re.compile(r"^(main|\(below main\)|0x|__libc_start|std::_Function_handler|bench::)")
_COST_LINE = re.compile(r"^ *([0-9,]+) +\([ 0-9.]+%\) +(.*)$")
_LONG_STRING = "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >"


def callgrind(command: list, profile: Path, log: Path, collect_at_start=True) -> int:
    """Runs COMMAND under callgrind and returns the instructions it counted."""
    options = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={profile}"]
    if not collect_at_start:
        options.append("--collect-atstart=no")
    with open(log, "w") as err:
        finished = subprocess.run(options + [str(word) for word in command],
                                  stdout=subprocess.DEVNULL, stderr=err, check=False)
    counted = re.search(r"Collected : *([0-9]+)", log.read_text())
    if finished.returncode != 0 or counted is None:
        raise RunFailed(f"callgrind of {Path(str(command[0])).name} failed: {tail(log)}")
    return int(counted.group(1))


@dataclass
class Instructions:
    count: int          # operations per run
    totals: dict        # instructions counted, by operation
    profiles: dict      # callgrind's output file, by operation

    def overhead_per_call(self) -> float:
        return self.totals["loop-overhead"] / self.count

    def per_operation(self, operation: str) -> float:
        return (self.totals[operation] - self.totals["loop-overhead"]) / self.count

    def _annotated(self, operation: str):
        """(instructions per operation, function) of each function, inclusive,
        most expensive first."""
        text = subprocess.run(["callgrind_annotate", "--inclusive=yes",
                               str(self.profiles[operation])], text=True, check=False,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
        for line in text.splitlines():
            matched = _COST_LINE.match(line)
            if matched is None or "PROGRAM TOTALS" in line:
                continue
            function = re.sub(r" \[[^]]*\]$", "", matched.group(2)).split(":", 1)[-1]
            yield int(matched.group(1).replace(",", "")) / self.count, function

    def top_functions(self, operation: str, shown: int = 8) -> list:
        rows = []
        for cost, function in self._annotated(operation):
            if _NOT_SHOWN.match(function):
                continue
            rows.append((function.replace(_LONG_STRING, "std::string"), cost))
            if len(rows) == shown:
                break
        return rows

    def inclusive_cost(self, operation: str, function: str) -> float:
        """Instructions per operation spent in FUNCTION (as callgrind_annotate
        names it) and what it calls; 0 if it does not appear."""
        for cost, name in self._annotated(operation):
            if name.startswith(function):
                return cost
        return 0


def measure(build: Build, settings: Settings, work: Path) -> Instructions:
    say(f"callgrind: {settings.probe_count} operations per run")
    probe = build.bench_program("instruction_probe")
    result = Instructions(settings.probe_count, {}, {})
    for operation in OPERATIONS:
        profile = work / f"callgrind.{operation}"
        result.profiles[operation] = profile
        result.totals[operation] = callgrind([probe, operation, settings.probe_count], profile,
                                             work / f"callgrind.{operation}.log",
                                             collect_at_start=False)
    return result
