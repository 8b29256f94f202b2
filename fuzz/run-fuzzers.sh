#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build, each bounded by a number of runs or
# by a time, starting from the committed seed corpus. New inputs go into the
# build folder, never into the committed corpus. Prints one line per target
# with the executions it ran clean; on a finding prints the fuzzer's report,
# keeps the input under <build>/fuzz-artifacts/ and exits 1.
set -euo pipefail

usage="usage: $0 BUILD_DIR --runs N | --seconds S"
build="${1:?$usage}"
case "${2:-}" in
    --runs)    bound=(-runs="${3:?$usage}") ;;
    --seconds) bound=(-max_total_time="${3:?$usage}") ;;
    *)         echo "$usage" >&2; exit 2 ;;
esac
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
targets=(device_io_control init_setting cache_payload line_judgement modbus_tcp_line rtu_over_tcp_line
         metersim_rtu_requests metersim_modbus_tcp_requests)
failed=0

for target in "${targets[@]}"; do
    fuzzer="$build/fuzz/${target}_fuzzer"
    [[ -x "$fuzzer" ]] || { echo "fuzz: $fuzzer is not built" >&2; exit 1; }
    work="$build/fuzz-corpus/$target"
    artifacts="$build/fuzz-artifacts"
    log="$build/fuzz-$target.log"
    mkdir -p "$work" "$artifacts"
    options=("${bound[@]}" -timeout=10 -close_fd_mask=1 -print_final_stats=1
             -artifact_prefix="$artifacts/$target-")
    [[ -f "$here/$target.dict" ]] && options+=(-dict="$here/$target.dict")

    if "$fuzzer" "${options[@]}" "$work" "$here/corpus/$target" > "$log" 2>&1; then
        runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
        seconds="$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")"
        echo "fuzz: $target: ${runs:-?} executions in ${seconds:-?} s, clean"
    else
        echo "fuzz: $target: FAILED, report follows (full log: $log)"
        grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse|RELOAD)' "$log" | tail -60
        failed=1
    fi
done
exit "$failed"
