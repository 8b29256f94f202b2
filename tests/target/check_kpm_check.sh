#!/usr/bin/env bash
# Runs kpm-check from an unpacked release archive, as an integrator does,
# on the archive's module or on a faulty one, and checks its exit status,
# the line that must name the fault, and whether it loaded the module:
#
#   check_kpm_check.sh ARCHIVE CASE [MODULE]
#
#   release                  the archive's module: exit 0, no WARN or FAIL line, a PASS
#                            verdict, and the same verdict in the --json report
#   soft-float               a copy whose MIPS ABI flags say soft float: exit 1, the
#                            float ABI named, not loaded
#   newer-glibc              a copy needing GLIBC_9.9 instead of GLIBC_2.2 (name and hash
#                            patched): exit 1, libc.so.6 and the version named, not loaded
#   other-machine MODULE     a module built for another machine: exit 1, the machine
#                            named, not loaded
#   changed-snapshot MODULE  a module that loads but computes a quantity differently:
#                            exit 1, loaded, the snapshot text and object named
#
# KPM_RUN holds the command that runs the archive's programs (for the
# gateway build: qemu-mipsel with the sysroot); empty, they run directly.
set -euo pipefail
export LC_ALL=C

fail() { echo "FAIL: $*" >&2; exit 1; }
[[ $# -ge 2 ]] || { sed -n '6s/^# *//p' "$0" >&2; exit 2; }
archive="$1" case="$2" given="${3:-}"
[[ -f "$archive" ]] || fail "no archive at $archive"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
tar -xzf "$archive" -C "$work"
dir="$(echo "$work"/kalvorpowermeter-*)"
module="$dir/kalvorpowermeter.so"

# Writes bytes (given as \xNN escapes) into a file at an offset.
patch_bytes() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
read_le32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
section_offset() { readelf -S -W "$1" | sed 's/^ *\[ *[0-9]*\] *//' | awk -v name="$2" '$1 == name {print $4}'; }

# The hash a version need carries for its name (the ELF symbol hash).
elf_hash() {
    local text="$1" hash=0 high i code
    for ((i = 0; i < ${#text}; i++)); do
        printf -v code '%d' "'${text:i:1}"
        hash=$(((hash << 4) + code))
        high=$((hash & 0xf0000000))
        ((high == 0)) || hash=$((hash ^ (high >> 24)))
        hash=$((hash & ~high & 0xffffffff))
    done
    echo "$hash"
}

make_soft_float() {
    local offset
    offset="$(section_offset "$1" .MIPS.abiflags)"
    [[ -n "$offset" ]] || fail "the module has no .MIPS.abiflags"
    patch_bytes "$1" $((0x$offset + 7)) '\x03'  # fp_abi := Val_GNU_MIPS_ABI_FP_SOFT
    readelf -A "$1" | grep 'FP ABI: *Soft float' >/dev/null || fail "the patched copy does not read as soft float"
}

# The version need named GLIBC_2.2 renamed GLIBC_9.9 in the string table,
# with the hash the loader compares first made to match.
make_newer_glibc() {
    local old=GLIBC_2.2 new=GLIBC_9.9 needs entry strings name_at
    needs="$(readelf -V -W "$1" | sed -n '/^Version needs section/,$s/.*Offset: 0x\([0-9a-f]*\).*/\1/p' | sed -n 1p)"
    entry="$(readelf -V -W "$1" | sed -n "s/^ *0x\([0-9a-f]*\): *Name: $old .*/\1/p")"
    strings="$(section_offset "$1" .dynstr)"
    [[ -n "$needs" && -n "$entry" && -n "$strings" ]] || fail "no version need $old in the module"
    local at=$((0x$needs + 0x$entry))
    [[ "$(read_le32 "$1" "$at")" == "$(elf_hash "$old")" ]] || fail "the hash of $old is not the one computed here"
    name_at=$((0x$strings + $(read_le32 "$1" $((at + 8)))))
    [[ "$(dd if="$1" bs=1 skip="$name_at" count=${#old} status=none)" == "$old" ]] || fail "$old is not where the need says"
    patch_bytes "$1" "$name_at" "$new"
    patch_bytes "$1" "$at" "$(le32 "$(elf_hash "$new")")"
    readelf -V -W "$1" | grep "Name: $new " >/dev/null || fail "the patched copy does not need $new"
}

# The module kpm-check is given, and what its report must show.
status=1 loaded=no
case "$case" in
    release)
        target=kalvorpowermeter.so status=0 loaded=yes line='^PASS: ' ;;
    soft-float)
        target="$work/soft-float.so"
        cp "$module" "$target"
        make_soft_float "$target"
        line='^FAIL +float ABI +the module is soft float; the C library is hard float' ;;
    newer-glibc)
        target="$work/newer-glibc.so"
        cp "$module" "$target"
        make_newer_glibc "$target"
        line='^FAIL +libc\.so\.6 +needs GLIBC_9\.9 \(for __cxa_atexit.*does not define \(it defines up to GLIBC_2\.' ;;
    other-machine)
        [[ -f "$given" ]] || fail "other-machine needs a module"
        target="$work/other-machine.so"
        cp "$given" "$target"
        line='^FAIL +machine +the module is [^;]+; the C library is MIPS: the module is built for another machine' ;;
    changed-snapshot)
        [[ -f "$given" ]] || fail "changed-snapshot needs a module"
        target="$work/changed-snapshot.so"
        cp "$given" "$target"
        loaded=yes
        line='^FAIL +snapshot text +801 text: first difference at byte [0-9]+ of [0-9]+: .*came .*5\.0\}' ;;
    *)
        fail "unknown case $case" ;;
esac

# In the unpacked folder, as on the gateway.
run() { (cd "$dir" && ${KPM_RUN:-} ./kpm-check "$@"); }
report="$(run "$target")" && code=0 || code=$?
echo "$report"
[[ "$code" == "$status" ]] || fail "kpm-check exited with $code, expected $status"
grep -Eq "$line" <<<"$report" || fail "no line matches: $line"
if [[ "$loaded" == yes ]]; then
    grep -Eq '^ok +load +dlopen' <<<"$report" || fail "the module was not loaded"
else
    grep -Eq '^-- +load +not tried' <<<"$report" || fail "the module was loaded: the file alone shows the fault"
fi
if [[ "$case" == release ]]; then
    ! grep -Eq '^(WARN|FAIL) ' <<<"$report" || fail "a line of the release's report is not ok"
    json="$(run --json)" || fail "kpm-check --json failed"  # the module beside it, by default
    [[ "$(wc -l <<<"$json")" == 1 && "$json" == *'"exit_status":0'* && "$json" == *'"verdict":"PASS: '* ]] ||
        fail "the JSON report does not agree: $json"
fi
if [[ "$case" == changed-snapshot ]]; then
    grep -Eq '^FAIL +snapshot object +.*: expected 5000\.0, came 5$' <<<"$report" ||
        fail "the snapshot object's difference is not named"
fi
echo "ok: kpm-check on the $case module: exit $code, $(grep -E "$line" <<<"$report" | head -n 1 | cut -c1-100)"
