"""The module's stripped size and the device object's size, for x86_64 (the
bench build) and for the gateway (mipsel), with the gateway module's largest
sections and symbols."""
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional

from .processes import run_quietly, say
from .settings import Build

DEVICE_SYMBOL = "kpm_device_object"
LARGEST = 8


@dataclass
class Footprint:
    x86_stripped: int
    x86_device: int
    gateway_stripped: Optional[int] = None
    gateway_device: Optional[int] = None
    gateway_build_type: str = ""
    gateway_sections: list = field(default_factory=list)  # (section, bytes), largest first
    gateway_symbols: list = field(default_factory=list)   # (symbol, bytes), largest first


def _stripped(strip: str, module: Path, destination: Path) -> Path:
    run_quietly([strip, "-o", destination, module])
    return destination


def _symbol_size(nm: str, object_file: Path) -> int:
    for line in run_quietly([nm, "-S", "--defined-only", object_file]).splitlines():
        fields = line.split()
        if len(fields) == 4 and fields[3] == DEVICE_SYMBOL:
            return int(fields[1], 16)
    raise ValueError(f"{object_file} has no {DEVICE_SYMBOL}")


def _cache_value(cache: Path, name: str) -> str:
    matched = re.search(rf"^{name}:[A-Z]*=(.*)$", cache.read_text(), re.MULTILINE)
    return matched.group(1) if matched else ""


def measure(build: Build, work: Path, gateway_build: Optional[Path],
            gateway_device_object: Optional[Path]) -> Footprint:
    say("footprint")
    probe = build.folder / "bench/CMakeFiles/device_size_probe.dir/device_size_probe.cpp.o"
    x86_stripped = _stripped("strip", build.module, work / "x86_64.so")
    footprint = Footprint(x86_stripped.stat().st_size, _symbol_size("nm", probe))
    if gateway_build is None or gateway_device_object is None:
        return footprint
    module = gateway_build / "kalvorpowermeter.so"
    tools = "mipsel-linux-gnu-"
    stripped = _stripped(tools + "strip", module, work / "mipsel.so")
    footprint.gateway_stripped = stripped.stat().st_size
    footprint.gateway_device = _symbol_size(tools + "nm", gateway_device_object)
    footprint.gateway_build_type = _cache_value(gateway_build / "CMakeCache.txt",
                                                "CMAKE_BUILD_TYPE")
    sections = []
    for line in run_quietly([tools + "size", "-A", stripped]).splitlines():
        fields = line.split()
        if len(fields) >= 2 and fields[0].startswith(".") and fields[1].isdigit() \
                and int(fields[1]) > 0:
            sections.append((fields[0], int(fields[1])))
    footprint.gateway_sections = sorted(sections, key=lambda pair: -pair[1])[:LARGEST]
    symbols = []
    for line in run_quietly([tools + "nm", "--size-sort", "-C", "-S", module]).splitlines():
        fields = line.split(maxsplit=3)
        if len(fields) == 4:
            symbols.append((fields[3], int(fields[1], 16)))
    footprint.gateway_symbols = list(reversed(symbols[-LARGEST:]))
    return footprint
