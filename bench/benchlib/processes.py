"""Running the programs that are measured: the meter simulator on a
pseudo-terminal, and commands under measure_cpu, which reports their CPU time,
wall time and memory at their end and at chosen lines of their output."""
import os
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path


def say(message: str) -> None:
    print(f"bench: {message}", file=sys.stderr, flush=True)


class RunFailed(Exception):
    """A measured run that did not do what it was asked (the run is repeated
    once, then the bench stops)."""


def with_one_retry(run, *arguments, **options):
    """Runs a measurement again if it fails once: the simulator's
    pseudo-terminal is shared with whatever else runs on the machine."""
    try:
        return run(*arguments, **options)
    except RunFailed as failure:
        say(f"{failure}; once more")
        return run(*arguments, **options)


class Simulator:
    """metersim serving on a new pseudo-terminal for as long as the `with`
    block runs; `port` is the terminal's path."""

    START_SECONDS = 10

    def __init__(self, metersim: Path, options: list, work: Path):
        self.command = [str(metersim), *options]
        self.output = work / "metersim.out"
        self.errors = work / "metersim.err"
        self.process = None
        self.port = ""

    def __enter__(self) -> "Simulator":
        with open(self.output, "w") as out, open(self.errors, "w") as err:
            self.process = subprocess.Popen(self.command, stdout=out, stderr=err)
        deadline = time.monotonic() + self.START_SECONDS
        while time.monotonic() < deadline and self.process.poll() is None:
            first_line = self.output.read_text().partition("\n")[0]
            if first_line and Path(first_line).is_char_device():
                self.port = first_line
                return self
            time.sleep(0.05)
        self.stop()
        raise RunFailed(f"metersim gave no usable port: {self.errors.read_text().strip()}")

    def __exit__(self, *exception) -> None:
        self.stop()

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            self.process.wait()


@dataclass(frozen=True)
class Mark:
    line: int
    cpu_s: float
    wall_s: float
    rss_kib: int
    anon_kib: int


@dataclass
class Measured:
    """One command's run: totals from the kernel's accounting of the finished
    process, and the marks taken at lines of its output."""
    cpu_s: float
    wall_s: float
    status: int
    peak_rss_kib: int
    output: Path
    errors: Path
    marks: list = field(default_factory=list)

    def mark(self, line: int) -> Mark:
        for mark in self.marks:
            if mark.line == line:
                return mark
        raise RunFailed(f"{self.output.name}: the run ended before its line {line}")

    def between(self, first: int, last: int):
        """CPU seconds and wall seconds from one mark to another."""
        start, end = self.mark(first), self.mark(last)
        if start.cpu_s < 0 or end.cpu_s < 0:
            raise RunFailed(f"{self.output.name}: the command's CPU clock could not be read")
        return end.cpu_s - start.cpu_s, end.wall_s - start.wall_s

    def output_lines(self) -> list:
        return self.output.read_text(errors="replace").splitlines()


def run_measured(measure_cpu: Path, command: list, work: Path, name: str, marks=(),
            stop_after_marks=False, timeout_s=None) -> Measured:
    """Runs COMMAND under measure_cpu, its standard output to WORK/NAME.out
    and its standard error to WORK/NAME.err."""
    report, output, errors = (work / f"{name}.{kind}" for kind in ("report", "out", "err"))
    wrapper = [str(measure_cpu)]
    for line in marks:
        wrapper += ["--mark", str(line)]
    if stop_after_marks:
        wrapper.append("--stop-after-marks")
    with open(output, "w") as out, open(errors, "w") as err:
        # In a process group of its own, so that a run that hangs goes with
        # the command it measures.
        process = subprocess.Popen(wrapper + [str(report)] + [str(word) for word in command],
                                   stdout=out, stderr=err, start_new_session=True)
        try:
            process.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise RunFailed(f"{name}: no end after {timeout_s:.0f} s") from None
    if not report.exists():
        raise RunFailed(f"{name}: no report from measure_cpu; {tail(errors)}")
    lines = report.read_text().splitlines()
    cpu, wall, status, peak = lines[0].split()
    measured = Measured(float(cpu), float(wall), int(status), int(peak), output, errors)
    for line in lines[1:]:
        _, number, mark_cpu, mark_wall, rss, anon = line.split()
        measured.marks.append(Mark(int(number), float(mark_cpu), float(mark_wall), int(rss),
                                   int(anon)))
    return measured


def tail(path: Path, lines: int = 5) -> str:
    if not path.exists():
        return ""
    return " | ".join(path.read_text(errors="replace").splitlines()[-lines:])


def run_quietly(command: list, **options) -> str:
    """A helper program's standard output; its failure stops the bench."""
    return subprocess.run([str(word) for word in command], check=True, text=True,
                          stdout=subprocess.PIPE, **options).stdout
