"""What one run of the bench measured, and the targets its figures are held
against, as data."""
from dataclasses import dataclass
from typing import Optional

NOT_MEASURED = "Not measured in this run."
NO_BENCH_HOST = "Not measured: the build has no meterhost or metersim target."

# The targets, as data: (what, limit).
ROUND_NS = 2000
SNAPSHOT_ADDRESS_NS = 100
SNAPSHOT_TEXT_NS = 5000
SNAPSHOT_TEXT_REBUILT_NS = 10000
LINE_SHARE = 0.95
BUS_CPU_RATIO = 1.2
BUS_KIB_PER_METER = 16
DEAD_METER_SHARE = 0.9
GATEWAY_MODULE_BYTES = 65536

BENCHMARK_ROWS = (
    ("BM_PollingRound", "polling round (process_payload of a block read + round completion), "
                        "its line formatted, not written"),
    ("BM_PollingRoundWithStdout", "polling round with its line written to standard output "
                                  "(/dev/null)"),
    ("BM_DiagnosticLine", "the \"rvSize is 0\" line alone, written to standard output "
                          "(/dev/null)"),
    ("BM_SnapshotText", "request 801 without rebuild"),
    ("BM_SnapshotTextRebuilt", "request 801 with rebuild"),
    ("BM_SnapshotAddress", "request 803 without rebuild"),
    ("BM_WriteRegister", "request 206 (single-register write)"),
    ("BM_HostWriteRegister", "the host's own share of request 206 (its modbus_write_register)"),
    ("BM_LoadFromCache", "LoadFromCache of a 131-byte record (completes a round)"),
)

INSTRUCTION_ROWS = (
    ("round", "polling round, line formatted but not written"),
    ("round-with-stdout", "polling round, line written to standard output"),
    ("diagnostic-line", "the diagnostic line alone"),
    ("snapshot-text", "request 801 without rebuild"),
    ("snapshot-text-rebuilt", "request 801 with rebuild"),
    ("snapshot-address", "request 803 without rebuild"),
    ("write-register", "request 206"),
    ("load-from-cache", "LoadFromCache"),
)


@dataclass
class Results:
    """What one run of the bench measured; None where a measure was left out."""
    machine: dict
    load_before: str
    load_after: str = ""
    has_bench_host: bool = True
    repetitions: int = 0
    benchmarks: Optional[dict] = None
    instructions: object = None
    line_limit: object = None
    bus_rate: Optional[list] = None
    bus_cost: object = None
    dead_meter: object = None
    footprint: object = None
    gateway_note: str = ""
