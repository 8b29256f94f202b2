"""The report's sections on the module itself: the machine, the benchmarks of
its hot paths, their instruction counts and its footprint."""
from .report_data import (BENCHMARK_ROWS, GATEWAY_MODULE_BYTES, INSTRUCTION_ROWS,
                          NOT_MEASURED, ROUND_NS, SNAPSHOT_ADDRESS_NS, SNAPSHOT_TEXT_NS,
                          SNAPSHOT_TEXT_REBUILT_NS, Results)
from .report_format import met_if, ns, table, time_verdict, whole


def _machine(results: Results) -> list:
    m = results.machine
    return [
        "## Machine", "",
        *table(("", ""), "ll", [
            ("date", m["date"]),
            ("CPU", f"{m['cpu']} (shared with other work: wall-clock figures are noisy)"),
            ("memory", m["memory"]),
            ("system", m["system"]),
            ("compiler", m["compiler"]),
            ("libraries", m["libraries"]),
            ("load average", f"{results.load_before} at the start, {results.load_after} at "
                             "the end"),
        ]), "",
        "The module and the benchmarks are built with `-O3` (CMake Release) and the",
        "module is loaded with `dlopen` as the gateway host loads it. The host's",
        "back-ends do no work of their own (requests accepted and dropped, records",
        "discarded, no report or rule fires), so the figures are the module's own",
        "work plus the host calls it makes.", "",
    ]


def _benchmarks(results: Results) -> list:
    lines = ["## Time and heap allocations per operation", ""]
    operations = results.benchmarks
    if operations is None:
        return lines + [NOT_MEASURED, "", "## Targets", "", NOT_MEASURED, ""]
    lines += [
        f"Median of {results.repetitions} repetitions (run in random interleaved order), and",
        "the fastest of them. CPU time is",
        "what the benchmark thread ran; wall time also counts time the shared machine",
        "gave to others. Allocations count every malloc in the process during the",
        "operation.", "",
        *table(("operation", "CPU time (ns)", "fastest CPU time (ns)", "wall time (ns)",
                "allocations"), "lrrrr",
               [(label, ns(operations[name].cpu_ns), ns(operations[name].fastest_cpu_ns),
                 ns(operations[name].wall_ns), f"{operations[name].allocations:g}")
                for name, label in BENCHMARK_ROWS]), "",
    ]
    round_ = operations["BM_PollingRound"]
    address = operations["BM_SnapshotAddress"]
    text = operations["BM_SnapshotText"]
    rebuilt = operations["BM_SnapshotTextRebuilt"]
    module_write_allocations = (operations["BM_WriteRegister"].allocations
                                - operations["BM_HostWriteRegister"].allocations)
    lines += [
        "## Targets", "",
        *table(("target", "measured", "verdict"), "lll", [
            ("polling round < 2 µs of the module's own work", f"{ns(round_.cpu_ns)} ns",
             time_verdict(round_.cpu_ns, ROUND_NS)),
            ("no heap allocation in the round", f"{round_.allocations:g} per round",
             met_if(round_.allocations == 0)),
            ("request 803 without rebuild < 100 ns", f"{ns(address.cpu_ns)} ns",
             time_verdict(address.cpu_ns, SNAPSHOT_ADDRESS_NS)),
            ("request 803 allocation-free", f"{address.allocations:g} per request",
             met_if(address.allocations == 0)),
            ("request 801 without rebuild < 5 µs", f"{ns(text.cpu_ns)} ns",
             time_verdict(text.cpu_ns, SNAPSHOT_TEXT_NS)),
            ("request 801 with rebuild < 10 µs", f"{ns(rebuilt.cpu_ns)} ns",
             time_verdict(rebuilt.cpu_ns, SNAPSHOT_TEXT_REBUILT_NS)),
            ("request 206: allocations in the module's code",
             f"{module_write_allocations:g} (all its allocations are the host's request queue)",
             met_if(module_write_allocations == 0)),
        ]), "",
    ]
    return lines


def _instructions(results: Results) -> list:
    lines = ["## Instructions per operation (callgrind)", ""]
    counted = results.instructions
    if counted is None:
        return lines + [NOT_MEASURED, ""]
    per = counted.per_operation
    text_total = per("snapshot-text")
    writer = counted.inclusive_cost("snapshot-text", "Json::FastWriter::write")
    spelling = counted.inclusive_cost("snapshot-text", "Json::valueToString")
    rebuild = counted.inclusive_cost("snapshot-text-rebuilt",
                                     "KalvorPowerMeter::refresh_snapshot_locked")
    lines += [
        f"Counted over {counted.count} operations in one process, after one warm-up",
        "operation, minus the probe loop's own cost "
        f"({counted.overhead_per_call():.0f} instructions per",
        "call). These counts do not depend on the",
        "machine's load: compare them across runs to spot regressions.", "",
        *table(("operation", "instructions"), "lr",
               [(label, whole(per(operation))) for operation, label in INSTRUCTION_ROWS]), "",
        "Where the instructions of a polling round go (inclusive, per round):", "",
        *table(("function", "instructions"), "lr",
               [(name, whole(cost)) for name, cost in counted.top_functions("round")]), "",
        "Where the instructions of request 801 without rebuild go (inclusive, per request):",
        "",
        *table(("function", "instructions"), "lr",
               [(name, whole(cost)) for name, cost in counted.top_functions("snapshot-text")]),
        "",
        "### Why request 801 misses its targets", "",
        "Request 801 writes the snapshot with jsoncpp's `Json::FastWriter` on every",
        "request, as the module's design requires: the library decides how the numbers",
        "and the keys are spelled, and the text is not cached. Of the",
        f"{whole(text_total)} instructions of a request without rebuild,",
        f"{whole(writer)} are inside `FastWriter::write`",
        f"({100 * writer / text_total:.1f} %):",
        f"spelling 30 doubles with `%.17g` (`valueToString`, {whole(spelling)} instructions),",
        "escaping every non-ASCII character of the keys as `\\uXXXX`, and looking each",
        "member up again by name. The module's own share, locking, the staleness",
        "test and copying the text out, is the rest. A rebuild adds",
        f"{whole(rebuild)} instructions (`refresh_snapshot_locked`).",
        "Without a rebuild only reusing an earlier text could meet 5 µs; with one,",
        "the library's write alone takes longer than 10 µs here.", "",
    ]
    return lines


def _footprint(results: Results) -> list:
    sizes = results.footprint
    lines = ["## Footprint", ""] + ([NOT_MEASURED, ""] if sizes is None else [])
    if sizes is None:
        return lines
    gateway_type = f" ({sizes.gateway_build_type})" if sizes.gateway_build_type else ""
    lines += table(("", "x86_64", "mipsel (gateway)"), "lrr", [
        ("kalvorpowermeter.so, stripped (bytes)", f"{sizes.x86_stripped} (Release)",
         f"{sizes.gateway_stripped}{gateway_type}" if sizes.gateway_stripped else "n/a"),
        ("sizeof(KalvorPowerMeter) (bytes)", sizes.x86_device,
         sizes.gateway_device if sizes.gateway_device else "n/a"),
    ]) + [""]
    if sizes.gateway_stripped is None:
        return lines + [results.gateway_note, ""]
    stripped = sizes.gateway_stripped
    verdict = (f"met ({stripped / 1024:.1f} KiB)" if stripped < GATEWAY_MODULE_BYTES
               else f"missed by {stripped - GATEWAY_MODULE_BYTES} bytes")
    return lines + [
        f"Target: mipsel module under 64 KiB (65536 bytes) stripped: {verdict}.", "",
        "Largest sections of the stripped mipsel module (bytes):", "",
        *table(("section", "bytes"), "lr", sizes.gateway_sections), "",
        "Largest symbols of the mipsel module (bytes):", "",
        *table(("symbol", "bytes"), "lr",
               [(f"`{symbol}`", size) for symbol, size in sizes.gateway_symbols]),
    ]
