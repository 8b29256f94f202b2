#!/usr/bin/env bash
# `make bench`: builds the benchmarks, the bench host and the simulator with
# optimisation in their own build folder, measures
#   1. time and heap allocations per operation (Google Benchmark, median of
#      several repetitions),
#   2. instructions per operation under callgrind (deterministic),
#   3. polls per second on an emulated 9600 baud line against the line's
#      limit, and CPU time per poll of meterhost and of a plain libmodbus
#      master,
#   4. a bus of meters: meterhost polling 1, 8, 32 and 247 meters on one
#      emulated line at 9600 and 115200 baud (polls per second of the whole
#      line against its limit, CPU time per poll, memory per added meter),
#      and eight meters at 9600 baud with one of them dead,
#   5. the module's stripped size and the device object's size for x86_64
#      and for the gateway (mipsel),
# and writes everything to bench/REPORT.md, which it also prints.
#
# Environment: BENCH_BUILD_DIR (build-bench), TARGET_BUILD_DIR (build-mipsel),
# JOBS (2), BENCH_REPETITIONS (9), LINE_RUNS (3), LINE_ROUNDS (150),
# BUS_COUNTS ("1 8 32 247"), BUS_BAUDS ("9600 115200"), DEAD_ROUNDS (40).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(realpath -m "${BENCH_BUILD_DIR:-$root/build-bench}")"
target_build="$(realpath -m "${TARGET_BUILD_DIR:-$root/build-mipsel}")"
jobs="${JOBS:-2}"
repetitions="${BENCH_REPETITIONS:-9}"
line_runs="${LINE_RUNS:-3}"
line_rounds="${LINE_ROUNDS:-150}"
line_rounds_short=10            # subtracted from the long run: start-up cost
probe_count=2000                # operations per callgrind run
report="$root/bench/REPORT.md"

work="$(mktemp -d)"
simulator_pid=""
cleanup() {
    if [[ -n "$simulator_pid" ]]; then
        kill "$simulator_pid" 2>/dev/null || true
        wait "$simulator_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

say() { echo "bench: $*" >&2; }

# ---------------------------------------------------------------- build
say "building in $build (Release)"
mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DKPM_BUILD_DEVHOST_TOOLS=ON > "$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
targets=(kalvorpowermeter module_benchmarks instruction_probe device_size_probe
         measure_cpu plain_master)
have_bench_host=yes
cmake --build "$build" --target help > "$work/targets.txt"
for tool in meterhost metersim; do
    if grep -qx "\.\.\. $tool" "$work/targets.txt"; then
        targets+=("$tool")
    else
        have_bench_host=no
    fi
done
cmake --build "$build" -j"$jobs" --target "${targets[@]}" > "$build/build.log" 2>&1 \
    || { tail -40 "$build/build.log"; exit 1; }
bin="$build/bench"

# ---------------------------------------------------------------- 1. time and allocations
say "benchmarks: $repetitions repetitions each"
load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
# Repetitions of all benchmarks are interleaved in random order, so that a
# change in the machine's load spreads over all of them rather than one.
"$bin/module_benchmarks" --benchmark_repetitions="$repetitions" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true --benchmark_format=csv \
    > "$work/benchmarks.csv" 2> "$work/benchmarks.err" \
    || { cat "$work/benchmarks.err"; exit 1; }

# statistic <median|min> <benchmark> <column: real|cpu|allocs>
statistic() {
    awk -F, -v name="\"$2_$1\"" -v column="$3" '
        $1 == name {
            if (column == "real") print $3; else if (column == "cpu") print $4; else print $11
        }' "$work/benchmarks.csv"
}
median() { statistic median "$@"; }

# ---------------------------------------------------------------- 2. instructions
say "callgrind: $probe_count operations per run"
declare -A instructions
for operation in loop-overhead round round-with-stdout diagnostic-line snapshot-text \
                 snapshot-text-rebuilt snapshot-address write-register load-from-cache; do
    valgrind --tool=callgrind --collect-atstart=no \
        --callgrind-out-file="$work/callgrind.$operation" \
        "$bin/instruction_probe" "$operation" "$probe_count" \
        > /dev/null 2> "$work/callgrind.$operation.log" \
        || { cat "$work/callgrind.$operation.log"; exit 1; }
    collected="$(sed -n 's/.*Collected : *\([0-9]*\).*/\1/p' "$work/callgrind.$operation.log")"
    instructions[$operation]="$collected"
done
overhead_per_call() {
    awk -v total="${instructions[loop-overhead]}" -v count="$probe_count" \
        'BEGIN { printf "%.0f", total / count }'
}
per_operation() {
    awk -v total="${instructions[$1]}" -v overhead="${instructions[loop-overhead]}" \
        -v count="$probe_count" 'BEGIN { printf "%.0f", (total - overhead) / count }'
}

# The functions that cost the most instructions in one operation, inclusive.
top_functions() {
    callgrind_annotate --inclusive=yes "$work/callgrind.$1" 2>/dev/null |
        awk -v count="$probe_count" '
            /^ *[0-9,]+ +\([ 0-9.]+%\) +/ {
                cost = $1; gsub(",", "", cost)
                line = $0; sub(/^ *[0-9,]+ +\([ 0-9.]+%\) +/, "", line)
                sub(/ \[[^]]*\]$/, "", line); sub(/^[^:]*:/, "", line)
                if (line ~ /^(main|\(below main\)|0x|__libc_start|std::_Function_handler|bench::)/) next
                if (line ~ /PROGRAM TOTALS/) next
                if (++shown > 8) exit
                printf "| %s | %.0f |\n", line, cost / count
            }' |
        sed 's/std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >/std::string/g'
}

# inclusive_cost <operation> <function name, as callgrind_annotate prints it>:
# instructions per operation spent in that function and what it calls.
inclusive_cost() {
    callgrind_annotate --inclusive=yes "$work/callgrind.$1" 2>/dev/null |
        awk -v name="$2" -v count="$probe_count" '
            index($0, ":" name) && !found {
                cost = $1; gsub(",", "", cost); printf "%.0f", cost / count; found = 1
            }
            END { if (!found) print 0 }'
}

# ---------------------------------------------------------------- 3. the line's limit
# Modbus RTU at 9600 baud, 8N1: 10 bits a character. A read of 60 registers:
# request 8 bytes (address, function, start, count, CRC), reply 125 bytes
# (address, function, byte count, 120 data bytes, CRC), and 3.5 characters of
# silence after each frame.
baud=9600
bits_per_char=10
request_bytes=8
reply_bytes=$((3 + 2 * 60 + 2))
line_limit="$(awk -v b="$baud" -v bits="$bits_per_char" -v q="$request_bytes" -v r="$reply_bytes" \
    'BEGIN { printf "%.3f", b / bits / (q + 3.5 + r + 3.5) }')"
poll_ms="$(awk -v l="$line_limit" 'BEGIN { printf "%.2f", 1000 / l }')"

start_simulator() {  # [metersim options]
    "$build/metersim" --line-time "$@" > "$work/metersim.out" 2> "$work/metersim.err" &
    simulator_pid=$!
    port=""
    for _ in $(seq 100); do
        port="$(head -n1 "$work/metersim.out")"
        [[ -n "$port" && -c "$port" ]] && return 0
        kill -0 "$simulator_pid" 2>/dev/null || break
        sleep 0.1
    done
    say "metersim gave no usable port (first line: '$port')"
    cat "$work/metersim.out" "$work/metersim.err" >&2
    stop_simulator
    return 1
}

stop_simulator() {
    kill "$simulator_pid" 2>/dev/null || true
    wait "$simulator_pid" 2>/dev/null || true
    simulator_pid=""
}

# run_master <name> <rounds> <report file>: one master's run against a fresh simulator.
meterhost_interval=0
run_master() {
    start_simulator --baud "$baud" || return 1
    case "$1" in
        meterhost)
            "$bin/measure_cpu" "$3" "$build/meterhost" --module "$build/kalvorpowermeter.so" \
                --port "$port" --baud "$baud" --interval "$meterhost_interval" \
                --rounds "$2" --json > "$work/meterhost.out" 2> "$work/meterhost.err" || true ;;
        plain)
            "$bin/measure_cpu" "$3" "$bin/plain_master" "$port" "$2" \
                > "$work/plain.out" 2> "$work/plain.err" || true ;;
    esac
    stop_simulator
    read -r _ _ status _ < "$3"
    if [[ "$status" != 0 ]]; then
        say "$1 failed (status $status)"
        cat "$work/$1.err" >&2 2>/dev/null || true
        return 1
    fi
}

line_measured=no
if [[ "$have_bench_host" == yes && "$line_runs" -gt 0 ]]; then
    say "line limit: $line_runs runs of $line_rounds_short and $line_rounds polls per master"
    : > "$work/line.txt"
    for run in $(seq "$line_runs"); do
        for master in meterhost plain; do
            for rounds_file in "$line_rounds_short:short" "$line_rounds:long"; do
                # One retry: the simulator's pseudo-terminal is shared with
                # whatever else runs on the machine.
                run_master "$master" "${rounds_file%%:*}" "$work/$master.${rounds_file#*:}" ||
                    run_master "$master" "${rounds_file%%:*}" "$work/$master.${rounds_file#*:}"
            done
            read -r cpu_short wall_short _ _ < "$work/$master.short"
            read -r cpu_long wall_long _ _ < "$work/$master.long"
            # Per poll, start-up excluded: the difference of a long and a short run.
            awk -v m="$master" -v n=$((line_rounds - line_rounds_short)) \
                -v cs="$cpu_short" -v cl="$cpu_long" -v ws="$wall_short" -v wl="$wall_long" \
                'BEGIN { printf "%s %.4f %.1f\n", m, n / (wl - ws), (cl - cs) / n * 1e6 }' \
                >> "$work/line.txt"
        done
    done
    line_measured=yes
fi

# line_median <master> <column 2: polls/s, 3: CPU µs per poll>
line_median() {
    awk -v m="$1" -v c="$2" '$1 == m { print $c }' "$work/line.txt" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# ---------------------------------------------------------------- 4. a bus of meters
# The time of one poll at a speed, 8N1: the request and the reply and the
# silence after each (3.5 characters, or 1.75 ms above 19200 baud).
poll_seconds_at() {
    awk -v b="$1" -v bits="$bits_per_char" -v q="$request_bytes" -v r="$reply_bytes" 'BEGIN {
        silence = b > 19200 ? 0.00175 : 3.5 * bits / b
        printf "%.9f", (q + r) * bits / b + 2 * silence }'
}
slaves_up_to() { if [[ "$1" == 1 ]]; then echo 1; else echo "1-$1"; fi; }

# run_bus <report> <rounds> <baud> <meters> [metersim options]: meterhost polls
# meters 1 to N on one simulated line, one-second timeout, until each has
# completed its rounds (or is offline); checks that every live meter printed
# every round.
run_bus() {
    local report="$1" rounds="$2" bus_baud="$3" count="$4"
    shift 4
    local slaves live="$count"
    slaves="$(slaves_up_to "$count")"
    [[ "${1:-}" == --dead ]] && live=$((count - 1))
    start_simulator --baud "$bus_baud" --slave "$slaves" "$@" || return 1
    "$bin/measure_cpu" "$report" "$build/meterhost" --module "$build/kalvorpowermeter.so" \
        --port "$port" --baud "$bus_baud" --slave "$slaves" --timeout-ms 1000 \
        --interval 0 --rounds "$rounds" --json > "$work/bus.out" 2> "$work/bus.err" || true
    stop_simulator
    local status lines
    read -r _ _ status _ < "$report"
    lines="$(wc -l < "$work/bus.out")"
    # With a dead meter, meterhost says so in its status: a meter ended offline.
    if [[ "$status" != 0 && ! ( "$status" == 1 && "$live" != "$count" ) ]] ||
       [[ "$lines" != $((live * rounds)) ]]; then
        say "meterhost on $count meters at $bus_baud baud: status $status, $lines rounds printed of $((live * rounds))"
        tail -5 "$work/bus.err" >&2
        return 1
    fi
}

bus_counts=(${BUS_COUNTS:-1 8 32 247})
bus_bauds=(${BUS_BAUDS:-9600 115200})
dead_rounds="${DEAD_ROUNDS:-40}"
bus_measured=no
if [[ "$have_bench_host" == yes ]]; then
    : > "$work/bus.txt"
    for bus_baud in "${bus_bauds[@]}"; do
        for count in "${bus_counts[@]}"; do
            # About ten polls to start with, then about a hundred more: the
            # difference of the two runs leaves start-up out.
            short=$(( (10 + count - 1) / count ))
            long=$(( short + (100 + count - 1) / count ))
            say "bus: $count meters at $bus_baud baud, $short and $long rounds"
            for run in short:$short long:$long; do
                run_bus "$work/bus.${run%%:*}" "${run#*:}" "$bus_baud" "$count" ||
                    run_bus "$work/bus.${run%%:*}" "${run#*:}" "$bus_baud" "$count"
            done
            read -r cpu_short wall_short _ _ < "$work/bus.short"
            read -r cpu_long wall_long _ rss_long < "$work/bus.long"
            awk -v b="$bus_baud" -v n="$count" -v p=$((count * (long - short))) \
                -v cs="$cpu_short" -v cl="$cpu_long" -v ws="$wall_short" -v wl="$wall_long" \
                -v rss="$rss_long" -v t="$(poll_seconds_at "$bus_baud")" \
                'BEGIN { printf "%s %s %.3f %.3f %.1f %s\n", b, n, 1 / t, p / (wl - ws), (cl - cs) / p * 1e6, rss }' \
                >> "$work/bus.txt"
        done
    done
    say "bus: 8 meters at 9600 baud, all alive and one dead, $dead_rounds rounds"
    run_bus "$work/alive.run" "$dead_rounds" 9600 8 || run_bus "$work/alive.run" "$dead_rounds" 9600 8
    run_bus "$work/dead.run" "$dead_rounds" 9600 8 --dead 4 ||
        run_bus "$work/dead.run" "$dead_rounds" 9600 8 --dead 4
    read -r _ wall_alive _ _ < "$work/alive.run"
    read -r _ wall_dead _ _ < "$work/dead.run"
    bus_measured=yes
fi

# ---------------------------------------------------------------- 5. footprint
say "footprint"
symbol_size() {  # <nm> <object>: size of the device-size symbol, in bytes
    local hex
    hex="$("$1" -S --defined-only "$2" | awk '$4 == "kpm_device_object" { print $2 }')"
    echo $((16#$hex))
}
x86_module="$build/kalvorpowermeter.so"
strip -o "$work/x86_64.so" "$x86_module"
x86_stripped="$(stat -c %s "$work/x86_64.so")"
x86_device="$(symbol_size nm "$build/bench/CMakeFiles/device_size_probe.dir/device_size_probe.cpp.o")"

mipsel_note=""
mipsel_stripped="" mipsel_device="" mipsel_type=""
if [[ ! -f "$target_build/CMakeCache.txt" ]]; then
    say "configuring the gateway build in $target_build"
    make -C "$root" --no-print-directory target-configure TARGET_BUILD_DIR="$target_build" \
        > "$work/target-configure.log" 2>&1 || true
fi
if [[ -f "$target_build/CMakeCache.txt" ]] &&
   cmake --build "$target_build" -j"$jobs" --target kalvorpowermeter > "$work/target.log" 2>&1; then
    mipsel-linux-gnu-strip -o "$work/mipsel.so" "$target_build/kalvorpowermeter.so"
    mipsel_stripped="$(stat -c %s "$work/mipsel.so")"
    mipsel_type="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$target_build/CMakeCache.txt")"
    sysroot="$(sed -n 's/^KPM_SYSROOT:[A-Z]*=//p' "$target_build/CMakeCache.txt")"
    mipsel-linux-gnu-g++ -std=c++17 -I"$root" -isystem "$sysroot/usr/include/jsoncpp" \
        -isystem "$sysroot/usr/include" -c "$root/bench/device_size_probe.cpp" \
        -o "$work/device_size_mipsel.o"
    mipsel_device="$(symbol_size mipsel-linux-gnu-nm "$work/device_size_mipsel.o")"
    mipsel-linux-gnu-size -A "$work/mipsel.so" |
        awk '$1 ~ /^\./ && $2 > 0 { print $2, $1 }' | sort -rn | head -8 > "$work/mipsel.sections"
    mipsel-linux-gnu-nm --size-sort -C -S "$target_build/kalvorpowermeter.so" | tail -8 | tac |
        while read -r _ size _ name; do echo "$((16#$size)) $name"; done > "$work/mipsel.symbols"
else
    mipsel_note="The gateway build in $target_build is not available (run \`make target-build\`)."
fi

load_after="$(cut -d' ' -f1-3 /proc/loadavg)"

# ---------------------------------------------------------------- report
verdict() {  # <value> <limit> -> "met" or "missed by N (×F)"
    awk -v v="$1" -v l="$2" 'BEGIN {
        if (v < l) print "met"; else printf "missed by %.0f ns (%.1f× the target)", v - l, v / l }'
}
ns() { awk -v v="$1" 'BEGIN { if (v < 100) printf "%.1f", v; else printf "%.0f", v }'; }

round_cpu="$(median BM_PollingRound cpu)"
round_allocs="$(median BM_PollingRound allocs)"
text_cpu="$(median BM_SnapshotText cpu)"
rebuilt_cpu="$(median BM_SnapshotTextRebuilt cpu)"
address_cpu="$(median BM_SnapshotAddress cpu)"
address_allocs="$(median BM_SnapshotAddress allocs)"
module_write_allocs="$(awk -v a="$(median BM_WriteRegister allocs)" -v h="$(median BM_HostWriteRegister allocs)" 'BEGIN { print a - h }')"

{
cat <<EOF
# Benchmark report

Written by \`make bench\` (bench/run_bench.sh); do not edit by hand.

## Machine

| | |
|---|---|
| date | $(date -u '+%Y-%m-%d %H:%M UTC') |
| CPU | $(lscpu | sed -n 's/^Model name: *//p' | head -n1), $(nproc) cores (shared with other work: wall-clock figures are noisy) |
| memory | $(awk '/^MemTotal:/ { printf "%.0f", $2 / 1048576 }' /proc/meminfo) GiB |
| system | $(uname -srm) |
| compiler | $(g++ --version | head -n1) |
| libraries | jsoncpp $(dpkg-query -W -f='${Version}' libjsoncpp-dev), Google Benchmark $(dpkg-query -W -f='${Version}' libbenchmark-dev), glibc $(ldd --version | head -n1 | awk '{ print $NF }') |
| load average | $load_before at the start, $load_after at the end |

The module and the benchmarks are built with \`-O3\` (CMake Release) and the
module is loaded with \`dlopen\` as the gateway host loads it. The host's
back-ends do no work of their own (requests accepted and dropped, records
discarded, no report or rule fires), so the figures are the module's own
work plus the host calls it makes.

## Time and heap allocations per operation

Median of $repetitions repetitions (run in random interleaved order), and
the fastest of them. CPU time is
what the benchmark thread ran; wall time also counts time the shared machine
gave to others. Allocations count every malloc in the process during the
operation.

| operation | CPU time (ns) | fastest CPU time (ns) | wall time (ns) | allocations |
|---|---:|---:|---:|---:|
EOF
for row in \
    "BM_PollingRound|polling round (process_payload of a block read + round completion), its line formatted, not written" \
    "BM_PollingRoundWithStdout|polling round with its line written to standard output (/dev/null)" \
    "BM_DiagnosticLine|the \"rvSize is 0\" line alone, written to standard output (/dev/null)" \
    "BM_SnapshotText|request 801 without rebuild" \
    "BM_SnapshotTextRebuilt|request 801 with rebuild" \
    "BM_SnapshotAddress|request 803 without rebuild" \
    "BM_WriteRegister|request 206 (single-register write)" \
    "BM_HostWriteRegister|the host's own share of request 206 (its modbus_write_register)" \
    "BM_LoadFromCache|LoadFromCache of a 131-byte record (completes a round)"; do
    name="${row%%|*}" label="${row#*|}"
    echo "| $label | $(ns "$(median "$name" cpu)") | $(ns "$(statistic min "$name" cpu)") | $(ns "$(median "$name" real)") | $(median "$name" allocs) |"
done
cat <<EOF

## Targets

| target | measured | verdict |
|---|---|---|
| polling round < 2 µs of the module's own work | $(ns "$round_cpu") ns | $(verdict "$round_cpu" 2000) |
| no heap allocation in the round | $round_allocs per round | $([[ "$round_allocs" == 0 ]] && echo met || echo missed) |
| request 803 without rebuild < 100 ns | $(ns "$address_cpu") ns | $(verdict "$address_cpu" 100) |
| request 803 allocation-free | $address_allocs per request | $([[ "$address_allocs" == 0 ]] && echo met || echo missed) |
| request 801 without rebuild < 5 µs | $(ns "$text_cpu") ns | $(verdict "$text_cpu" 5000) |
| request 801 with rebuild < 10 µs | $(ns "$rebuilt_cpu") ns | $(verdict "$rebuilt_cpu" 10000) |
| request 206: allocations in the module's code | $module_write_allocs (all its allocations are the host's request queue) | $([[ "$module_write_allocs" == 0 ]] && echo met || echo missed) |

## Instructions per operation (callgrind)

Counted over $probe_count operations in one process, after one warm-up
operation, minus the probe loop's own cost ($(overhead_per_call) instructions per
call). These counts do not depend on the
machine's load: compare them across runs to spot regressions.

| operation | instructions |
|---|---:|
| polling round, line formatted but not written | $(per_operation round) |
| polling round, line written to standard output | $(per_operation round-with-stdout) |
| the diagnostic line alone | $(per_operation diagnostic-line) |
| request 801 without rebuild | $(per_operation snapshot-text) |
| request 801 with rebuild | $(per_operation snapshot-text-rebuilt) |
| request 803 without rebuild | $(per_operation snapshot-address) |
| request 206 | $(per_operation write-register) |
| LoadFromCache | $(per_operation load-from-cache) |

Where the instructions of a polling round go (inclusive, per round):

| function | instructions |
|---|---:|
$(top_functions round)

Where the instructions of request 801 without rebuild go (inclusive, per request):

| function | instructions |
|---|---:|
$(top_functions snapshot-text)

### Why request 801 misses its targets

Request 801 writes the snapshot with jsoncpp's \`Json::FastWriter\` on every
request, as the module's design requires: the library decides how the numbers
and the keys are spelled, and the text is not cached. Of the
$(per_operation snapshot-text) instructions of a request without rebuild,
$(inclusive_cost snapshot-text "Json::FastWriter::write") are inside \`FastWriter::write\`
($(awk -v f="$(inclusive_cost snapshot-text "Json::FastWriter::write")" -v t="$(per_operation snapshot-text)" 'BEGIN { printf "%.1f %%", 100 * f / t }')):
spelling 30 doubles with \`%.17g\` (\`valueToString\`, $(inclusive_cost snapshot-text "Json::valueToString") instructions),
escaping every non-ASCII character of the keys as \`\\uXXXX\`, and looking each
member up again by name. The module's own share, locking, the staleness
test and copying the text out, is the rest. A rebuild adds
$(inclusive_cost snapshot-text-rebuilt "KalvorPowerMeter::refresh_snapshot_locked") instructions (\`refresh_snapshot_locked\`).
Without a rebuild only reusing an earlier text could meet 5 µs; with one,
the library's write alone takes longer than 10 µs here.

## The line's limit

A read of 60 registers at $baud baud, 8N1 ($bits_per_char bits a character):
request $request_bytes bytes, reply $reply_bytes bytes, and 3.5 characters of
silence after each frame make $(awk -v q=$request_bytes -v r=$reply_bytes 'BEGIN { print q + r + 7 }')
character times, $poll_ms ms a poll: **at most $line_limit polls per second**,
so 95 % is $(awk -v l="$line_limit" 'BEGIN { printf "%.3f", l * 0.95 }') polls per second. The simulator
(\`metersim --line-time\`) paces the request, the silence before its reply
and the reply; the silence after the reply is the master's to keep, and the
simulator drops a request that comes sooner, as a meter on a real line would.

EOF
if [[ "$line_measured" == yes ]]; then
    host_rate="$(line_median meterhost 2)" plain_rate="$(line_median plain 2)"
    host_cpu="$(line_median meterhost 3)" plain_cpu="$(line_median plain 3)"
    cat <<EOF
Median of $line_runs runs; each figure is the difference of a $line_rounds-poll
and a $line_rounds_short-poll run, so start-up is left out.

| master | polls per second | of the line's limit | CPU time per poll (µs) |
|---|---:|---:|---:|
| \`meterhost --interval $meterhost_interval --json\` | $host_rate | $(awk -v r="$host_rate" -v l="$line_limit" 'BEGIN { printf "%.1f %%", 100 * r / l }') | $(awk -v v="$host_cpu" 'BEGIN { printf "%.0f", v }') |
| plain libmodbus loop (\`plain_master\`) | $plain_rate | $(awk -v r="$plain_rate" -v l="$line_limit" 'BEGIN { printf "%.1f %%", 100 * r / l }') | $(awk -v v="$plain_cpu" 'BEGIN { printf "%.0f", v }') |

CPU time per poll, meterhost over the plain master: **$(awk -v h="$host_cpu" -v p="$plain_cpu" 'BEGIN { printf "%.2f", h / p }')**.
Target: meterhost at least 95 % of the line's limit: $(awk -v r="$host_rate" -v l="$line_limit" 'BEGIN { if (r >= 0.95 * l) print "met"; else printf "missed (%.1f %%)", 100 * r / l }').
EOF
    if [[ "$meterhost_interval" != 0 ]]; then
        echo
        echo "meterhost refuses \`--interval 0\`; the run used its smallest interval, $meterhost_interval s."
    fi
elif [[ "$have_bench_host" == yes ]]; then
    echo "Not measured in this run (LINE_RUNS=0)."
else
    echo "Not measured: the build has no meterhost or metersim target."
fi
cat <<EOF

## A bus of meters

meterhost (\`--interval 0 --json --timeout-ms 1000\`) polling meters 1 to N
in turn on one simulated line (\`metersim --line-time --slave 1-N\`), each
meter with its own live values. The line's limit counts the request (8
bytes), the reply (125 bytes) and the silence after each (3.5 characters,
1.75 ms above 19200 baud), 8N1. Polls per second and CPU time per poll are
the difference of two runs (about ten polls, then about a hundred more), so
start-up is left out; memory is meterhost's peak resident set in the longer
run, and per added meter its growth over the run with one meter. One run
each.

EOF
if [[ "$bus_measured" == yes ]]; then
    echo "| baud | meters | line limit (polls/s) | whole line (polls/s) | of the limit | CPU per poll (µs) | of one meter's | peak RSS (KiB) | per added meter (KiB) |"
    echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    awk '
        { baud[NR] = $1; n[NR] = $2; limit[NR] = $3; rate[NR] = $4; cpu[NR] = $5; rss[NR] = $6
          if ($2 == 1) { one_cpu[$1] = $5; one_rss[$1] = $6 } }
        END {
            for (i = 1; i <= NR; i++) {
                b = baud[i]
                added = n[i] > 1 && (b in one_rss) ? sprintf("%.1f", (rss[i] - one_rss[b]) / (n[i] - 1)) : "–"
                ratio = (b in one_cpu) ? sprintf("%.0f %%", 100 * cpu[i] / one_cpu[b]) : "–"
                printf "| %s | %s | %.2f | %.2f | %.1f %% | %.0f | %s | %s | %s |\n",
                    b, n[i], limit[i], rate[i], 100 * rate[i] / limit[i], cpu[i], ratio, rss[i], added
            }
        }' "$work/bus.txt"
    echo
    # The verdicts, each over every row it applies to.
    awk '
        { baud[NR] = $1; n[NR] = $2; share[NR] = $4 / $3; cpu[NR] = $5; rss[NR] = $6
          if ($2 == 1) { one_cpu[$1] = $5; one_rss[$1] = $6 } }
        END {
            rate_missed = cpu_missed = rss_missed = ""
            for (i = 1; i <= NR; i++) {
                b = baud[i]; what = n[i] " meters at " b " baud"
                if (share[i] < 0.95) rate_missed = rate_missed sprintf("; %s: %.1f %%", what, 100 * share[i])
                if ((b in one_cpu) && cpu[i] > 1.2 * one_cpu[b])
                    cpu_missed = cpu_missed sprintf("; %s: %.0f %%", what, 100 * cpu[i] / one_cpu[b])
                if (n[i] > 1 && (b in one_rss) && (rss[i] - one_rss[b]) / (n[i] - 1) > 16)
                    rss_missed = rss_missed sprintf("; %s: %.1f KiB", what, (rss[i] - one_rss[b]) / (n[i] - 1))
            }
            print "| target | verdict |"
            print "|---|---|"
            print "| whole line at least 95 % of its limit at every count | " (rate_missed == "" ? "met" : "missed" rate_missed) " |"
            print "| CPU per poll within 20 % of one meter’s | " (cpu_missed == "" ? "met" : "missed" cpu_missed) " |"
            print "| at most 16 KiB of resident memory per added meter | " (rss_missed == "" ? "met" : "missed" rss_missed) " |"
        }' "$work/bus.txt"
    echo
    cat <<EOF
A dead meter: eight meters at 9600 baud with a one-second timeout, $dead_rounds
rounds each, start-up and the dead meter going offline included. With meter 4
dead, meterhost takes it offline after three timeouts and tries it again after
2 s, the wait doubling up to 60 s.

| line | run (s) | each live meter (polls/s) |
|---|---:|---:|
| all eight alive | $(awk -v w="$wall_alive" 'BEGIN { printf "%.1f", w }') | $(awk -v w="$wall_alive" -v r="$dead_rounds" 'BEGIN { printf "%.3f", r / w }') |
| meter 4 dead | $(awk -v w="$wall_dead" 'BEGIN { printf "%.1f", w }') | $(awk -v w="$wall_dead" -v r="$dead_rounds" 'BEGIN { printf "%.3f", r / w }') |

Target: each live meter at least 90 % of its rate with all eight alive:
$(awk -v a="$wall_alive" -v d="$wall_dead" 'BEGIN { r = a / d; if (r >= 0.9) printf "met (%.1f %%)", 100 * r; else printf "missed (%.1f %%)", 100 * r }').
EOF
elif [[ "$have_bench_host" == yes ]]; then
    echo "Not measured in this run."
else
    echo "Not measured: the build has no meterhost or metersim target."
fi
cat <<EOF

## Footprint

| | x86_64 | mipsel (gateway) |
|---|---:|---:|
| kalvorpowermeter.so, stripped (bytes) | $x86_stripped (Release) | ${mipsel_stripped:-n/a}${mipsel_type:+ ($mipsel_type)} |
| sizeof(KalvorPowerMeter) (bytes) | $x86_device | ${mipsel_device:-n/a} |

EOF
if [[ -n "$mipsel_stripped" ]]; then
    echo "Target: mipsel module under 64 KiB (65536 bytes) stripped: $(awk -v s="$mipsel_stripped" 'BEGIN { if (s < 65536) printf "met (%.1f KiB)", s / 1024; else printf "missed by %d bytes", s - 65536 }')."
    echo
    echo "Largest sections of the stripped mipsel module (bytes):"
    echo
    echo "| section | bytes |"
    echo "|---|---:|"
    awk '{ printf "| %s | %d |\n", $2, $1 }' "$work/mipsel.sections"
    echo
    echo "Largest symbols of the mipsel module (bytes):"
    echo
    echo "| symbol | bytes |"
    echo "|---|---:|"
    awk '{ size = $1; $1 = ""; sub(/^ /, ""); printf "| `%s` | %d |\n", $0, size }' "$work/mipsel.symbols"
else
    echo "$mipsel_note"
fi
} > "$report"

cat "$report"
