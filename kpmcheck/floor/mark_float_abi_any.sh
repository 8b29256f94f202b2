#!/usr/bin/env bash
# Marks a MIPS program assembled as soft float (which refuses every
# floating-point instruction) as a program of either float ABI, so that the
# loader of a hard-float or a soft-float gateway starts it:
#
#   mark_float_abi_any.sh PROGRAM
#
# sets fp_abi in its .MIPS.abiflags (the record the loader and the kernel
# read) from soft float (3) to any (0), and drops .gnu.attributes, which
# says the same for the linker only.
set -euo pipefail
export LC_ALL=C
program="${1:?usage: $0 PROGRAM}"
fail() { echo "mark_float_abi_any: $*" >&2; exit 1; }

offset="$(readelf -S -W "$program" | sed 's/^ *\[ *[0-9]*\] *//' | awk '$1 == ".MIPS.abiflags" {print $4}')"
[[ -n "$offset" ]] || fail "$program has no .MIPS.abiflags"
fp_abi_at=$((0x$offset + 7))  # version (2), isa level, isa rev, gpr, cpr1, cpr2 sizes, fp_abi
current="$(od -An -tu1 -j "$fp_abi_at" -N1 "$program" | tr -d ' ')"
[[ "$current" == 3 || "$current" == 0 ]] ||
    fail "$program has float ABI $current, not soft float: it may use floating point"
printf '\x00' | dd of="$program" bs=1 seek="$fp_abi_at" conv=notrunc status=none
if readelf -S -W "$program" | grep ' \.gnu\.attributes ' >/dev/null; then
    objcopy=("${OBJCOPY:-objcopy}")
    "${objcopy[@]}" --remove-section .gnu.attributes "$program"
fi
readelf -A "$program" | grep 'FP ABI: *Hard or soft float' >/dev/null || fail "$program does not read as of either float ABI"
