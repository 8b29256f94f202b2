#!/usr/bin/env bash
# Compares the ABI a host sees in the module with the committed baseline.
#
#   check_abi.sh check  PROBE BASELINE   fails on any difference abidiff reports
#   check_abi.sh update PROBE BASELINE   rewrites the baseline (a deliberate ABI change)
#
# PROBE is the ABI probe library built with the module (see abi_probe.cpp).
# The description names files without their directories, so the baseline
# does not depend on where the tree is checked out.
set -euo pipefail

[[ $# -eq 3 ]] || { sed -n '4,5s/^# *//p' "$0" >&2; exit 2; }
action="$1" probe="$2" baseline="$3"
[[ -f "$probe" ]] || { echo "FAIL: no ABI probe at $probe" >&2; exit 1; }

describe() {
    abidw --no-corpus-path --no-comp-dir-path --short-locs --no-elf-needed "$probe"
}

case "$action" in
    update)
        mkdir -p "$(dirname "$baseline")"
        describe > "$baseline"
        echo "wrote $baseline"
        ;;
    check)
        [[ -f "$baseline" ]] || { echo "FAIL: no ABI baseline at $baseline" >&2; exit 1; }
        current="$(mktemp)"
        trap 'rm -f "$current"' EXIT
        describe > "$current"
        status=0
        abidiff "$baseline" "$current" || status=$?
        if [[ $status -ne 0 ]]; then
            # abidiff's status is a bit set: 1 error, 2 usage, 4 change, 8 incompatible change.
            if (( status & 3 )); then
                echo "FAIL: abidiff could not compare (status $status)" >&2
            else
                echo "FAIL: the module's ABI differs from $baseline (status $status);" \
                     "if the change is intended, run 'make abi-baseline' and commit the result" >&2
            fi
            exit 1
        fi
        echo "ok: ABI matches $baseline"
        ;;
    *)
        echo "unknown action: $action" >&2
        exit 2
        ;;
esac
