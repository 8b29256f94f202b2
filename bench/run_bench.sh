#!/usr/bin/env bash
# `make bench`: builds the module, the benchmarks, the bench host and the
# simulator with optimisation in their own build folder (and the gateway
# module, for its size), then runs bench/benchlib, which measures
#   1. time and heap allocations per operation (Google Benchmark),
#   2. instructions per operation under callgrind,
#   3. polls per second on an emulated 9600 baud line against the line's
#      limit, and CPU time per poll of meterhost and of a plain libmodbus
#      master,
#   4. a bus of meters: polls per second of the whole line at 9600 and
#      115200 baud, CPU time, instructions and resident memory per poll and
#      per meter for 1 to 247 meters, and eight meters with one of them dead,
#   5. the module's stripped size and the device object's size for x86_64
#      and for the gateway (mipsel),
# and writes everything to bench/REPORT.md, which it also prints.
#
# Arguments are passed to benchlib: `bench/run_bench.sh --only bus-cost`
# measures one part and prints it without writing the report
# (`PYTHONPATH=bench python3 -m benchlib --help` lists the parts and the
# environment variables that set how much is measured).
#
# Environment: BENCH_BUILD_DIR (build-bench), TARGET_BUILD_DIR (build-mipsel),
# JOBS (2), and benchlib's.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(realpath -m "${BENCH_BUILD_DIR:-$root/build-bench}")"
target_build="$(realpath -m "${TARGET_BUILD_DIR:-$root/build-mipsel}")"
jobs="${JOBS:-2}"
python=/usr/bin/python3     # Debian's, with nothing added to it

say() { echo "bench: $*" >&2; }

# ---------------------------------------------------------------- the bench build
say "building in $build (Release)"
mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DKPM_BUILD_DEVHOST_TOOLS=ON > "$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
targets=(kalvorpowermeter module_benchmarks instruction_probe device_size_probe
         measure_cpu plain_master)
available="$(cmake --build "$build" --target help)"
for tool in meterhost metersim; do
    if grep -qx "\.\.\. $tool" <<< "$available"; then
        targets+=("$tool")
    fi
done
cmake --build "$build" -j"$jobs" --target "${targets[@]}" > "$build/build.log" 2>&1 \
    || { tail -40 "$build/build.log"; exit 1; }

# ---------------------------------------------------------------- the gateway module
gateway=(--gateway-note "The gateway build in $target_build is not available (run \`make target-build\`).")
if [[ ! -f "$target_build/CMakeCache.txt" ]]; then
    say "configuring the gateway build in $target_build"
    make -C "$root" --no-print-directory target-configure TARGET_BUILD_DIR="$target_build" \
        > "$build/target-configure.log" 2>&1 || true
fi
if [[ -f "$target_build/CMakeCache.txt" ]] &&
   cmake --build "$target_build" -j"$jobs" --target kalvorpowermeter > "$build/target.log" 2>&1; then
    # The device object's size, read off an object file built for the gateway.
    sysroot="$(sed -n 's/^KPM_SYSROOT:[A-Z]*=//p' "$target_build/CMakeCache.txt")"
    mkdir -p "$build/gateway"
    mipsel-linux-gnu-g++ -std=c++17 -I"$root" -isystem "$sysroot/usr/include/jsoncpp" \
        -isystem "$sysroot/usr/include" -c "$root/bench/device_size_probe.cpp" \
        -o "$build/gateway/device_size_probe.o"
    gateway=(--gateway-build "$target_build" --gateway-device-object "$build/gateway/device_size_probe.o")
fi

# ---------------------------------------------------------------- measure and report
PYTHONPATH="$root/bench" "$python" -B -m benchlib --build "$build" "${gateway[@]}" "$@"
