"""The machine the figures were taken on."""
import os
import platform
import re
import subprocess
import time


def _output(command: list) -> str:
    try:
        return subprocess.run(command, text=True, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, check=False).stdout
    except OSError:
        return ""


def _package_version(package: str) -> str:
    return _output(["dpkg-query", "-W", "-f=${Version}", package]) or "?"


def load_average() -> str:
    return " ".join(f"{value:.2f}" for value in os.getloadavg())


def describe() -> dict:
    cpu = re.search(r"^Model name: *(.*)$", _output(["lscpu"]), re.MULTILINE)
    memory = re.search(r"^MemTotal: *([0-9]+)", open("/proc/meminfo").read(), re.MULTILINE)
    glibc = _output(["ldd", "--version"]).partition("\n")[0].split()
    system = platform.uname()
    return {
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "cpu": f"{cpu.group(1) if cpu else '?'}, {os.cpu_count()} cores",
        "memory": f"{int(memory.group(1)) / 1048576:.0f} GiB" if memory else "?",
        "system": f"{system.system} {system.release} {system.machine}",
        "compiler": _output(["g++", "--version"]).partition("\n")[0],
        "libraries": f"jsoncpp {_package_version('libjsoncpp-dev')}, Google Benchmark "
                     f"{_package_version('libbenchmark-dev')}, glibc "
                     f"{glibc[-1] if glibc else '?'}",
    }
