#!/usr/bin/env bash
# Runs the fault soak for the given time and says how it ended: the soak's
# own verdict, or that the host process died (a signal) or hung (still
# running well past its time, then killed).
set -uo pipefail

usage="usage: $0 KPM_SOAK SECONDS [kpm_soak options]"
soak="${1:?$usage}"
seconds="${2:?$usage}"
shift 2
[[ -x "$soak" ]] || { echo "soak: $soak is not built" >&2; exit 1; }

grace=60
timeout --signal=KILL "$(( ${seconds%.*} + grace ))" "$soak" --seconds "$seconds" "$@"
status=$?
case $status in
    0) exit 0 ;;
    1) echo "soak: a check failed (see above)"; exit 1 ;;
    2) echo "soak: could not start"; exit 1 ;;
    137) echo "soak: the host process hung or was killed (SIGKILL)"; exit 1 ;;
    *) if (( status > 128 )); then
           echo "soak: the host process died of signal $(( status - 128 ))"
       else
           echo "soak: the host process ended with status $status"
       fi
       exit 1 ;;
esac
