#!/usr/bin/env bash
# Runs kpm-check from an unpacked release archive, as an integrator does (or
# from a build's kpmcheck/ folder, with KPM_MODULE naming the module), on
# the archive's module or on a crafted or faulty one, and checks its exit
# status, the report line that must name the fault, whether it loaded the
# module, and for the jsoncpp cases the --json report's "jsoncpp" member:
#
#   check_kpm_check.sh ARCHIVE|FOLDER CASE [MODULE]
#
#   release                  the module: exit 0, no WARN or FAIL line, a PASS verdict, the same
#                            verdict in the --json report, which names the gateway's jsoncpp
#   lib-dir-jsoncpp          a copy of that jsoncpp in a folder given with --lib-dir: exit 0,
#                            the copy named
#   other-jsoncpp            a copy whose file name says version 1.9.0: exit 3, the jsoncpp
#                            line a warning, every answer matched
#   differing-jsoncpp        the same copy, writing its \u escapes in capitals: exit 1, the
#                            snapshot's answers and the jsoncpp line failures
#   weak-version             a copy whose need of its first GLIBC version is renamed (9s for
#                            its digits) and made weak, no symbol bound to it: exit 3, loaded
#   newer-glibc              the same need renamed, not weak: exit 1, libc.so.6 and the
#                            version named, not loaded
#   absent-library           a copy needing libgcc_x.so.1 for libgcc_s.so.1: exit 1, not loaded
#   executable, relocatable  a copy whose ELF type says so: exit 1, the file line, not loaded
#   other-class, byte-order  a copy whose header says ELF64 (ELF32 for a 64-bit module), or big
#                            endian: exit 1, that line, not loaded
#   soft-float               a copy whose MIPS ABI flags say soft float: exit 1, the float ABI
#                            named, not loaded
#   nan-2008                 a copy flagged with the 2008 NaN encoding: exit 1, not loaded
#   release-6                a copy whose ABI flags say MIPS32r6: exit 1, the ISA, not loaded
#   newer-isa                a copy whose ABI flags say MIPS32r5: exit 3, loaded
#   soft-float-gateway       the module on a copy of the sysroot whose objects say soft float:
#                            kpm-check starts, exit 1, the float ABI named, not loaded
#   bundled-jsoncpp          the module on a copy of the sysroot without jsoncpp: exit 0, run
#                            with the jsoncpp in lib/
#   other-machine MODULE     a module built for another machine: exit 1, the machine
#                            named, not loaded
#   changed-snapshot MODULE  a module that loads but computes a quantity differently:
#                            exit 1, loaded, the snapshot text and object named
#
# KPM_RUN holds the command that runs the archive's programs (for the
# gateway build: qemu-mipsel with the sysroot KPM_SYSROOT, "-L KPM_SYSROOT");
# empty, they run directly. The soft-float-gateway and bundled-jsoncpp
# cases need KPM_SYSROOT.
set -euo pipefail
export LC_ALL=C

fail() { echo "FAIL: $*" >&2; exit 1; }
[[ $# -ge 2 ]] || { sed -n '8s/^# *//p' "$0" >&2; exit 2; }
archive="$1" case="$2" given="${3:-}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
if [[ -d "$archive" ]]; then
    dir="$archive"
    module="${KPM_MODULE:?KPM_MODULE names the module when a folder is given}"
else
    [[ -f "$archive" ]] || fail "no archive at $archive"
    tar -xzf "$archive" -C "$work"
    dir="$(echo "$work"/kalvorpowermeter-*)"
    module="$dir/kalvorpowermeter.so"
fi
run_command="${KPM_RUN:-}"

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
    patch_abiflags "$1" 7 '\x03'  # fp_abi := Val_GNU_MIPS_ABI_FP_SOFT
    readelf -A "$1" | grep 'FP ABI: *Soft float' >/dev/null || fail "$1 does not read as soft float"
}

# The module's first GLIBC version need (GLIBC_2.2 on the gateway) renamed,
# every digit a 9, with the hash the loader compares first made to match;
# weak: also flagged weak, and the symbols bound to it made unversioned, so
# that the loader loads the module all the same.
make_newer_glibc() {
    local file="$1" weak="${2:-}" old new needs entry strings name_at
    old="$(readelf -V -W "$file" | sed -n '/^Version needs section/,$s/.*Name: \(GLIBC_[0-9.]*\) .*/\1/p' | sed -n 1p)"
    new="$(tr '0-8' '9' <<<"$old")"
    needs="$(readelf -V -W "$file" | sed -n '/^Version needs section/,$s/.*Offset: 0x\([0-9a-f]*\).*/\1/p' | sed -n 1p)"
    entry="$(readelf -V -W "$file" | sed -n "s/^ *0x\([0-9a-f]*\): *Name: $old .*/\1/p")"
    strings="$(section_offset "$file" .dynstr)"
    [[ -n "$old" && -n "$needs" && -n "$entry" && -n "$strings" ]] || fail "no GLIBC version need in the module"
    local at=$((0x$needs + 0x$entry))
    [[ "$(read_le32 "$file" "$at")" == "$(elf_hash "$old")" ]] || fail "the hash of $old is not the one computed here"
    name_at=$((0x$strings + $(read_le32 "$file" $((at + 8)))))
    [[ "$(dd if="$file" bs=1 skip="$name_at" count=${#old} status=none)" == "$old" ]] || fail "$old is not where the need says"
    patch_bytes "$file" "$name_at" "$new"
    patch_bytes "$file" "$at" "$(le32 "$(elf_hash "$new")")"
    readelf -V -W "$file" | grep "Name: $new " >/dev/null || fail "the patched copy does not need $new"
    newer_version="$new"
    [[ -n "$weak" ]] || return 0
    patch_bytes "$file" $((at + 4)) '\x02\x00'  # vna_flags := VER_FLG_WEAK
    local index versions count i
    index="$(od -An -tu2 -j $((at + 6)) -N2 "$file" | tr -d ' ')"
    versions="$(section_offset "$file" .gnu.version)"
    count=$(( 0x$(readelf -S -W "$file" | sed 's/^ *\[ *[0-9]*\] *//' | awk '$1 == ".gnu.version" {print $5}') / 2 ))
    i=0
    for value in $(od -An -tu2 -v -j $((0x$versions)) -N $((count * 2)) "$file"); do
        (( (value & 0x7fff) != index )) || patch_bytes "$file" $((0x$versions + 2 * i)) '\x01\x00'
        i=$((i + 1))
    done
    readelf -V -W "$file" | grep -E "Name: $new +Flags: WEAK" >/dev/null || fail "the patched need is not weak"
}

# The header's 16-bit field at an offset, in the file's byte order.
write_half() { if [[ "$3" == big ]]; then patch_bytes "$1" "$2" "$(printf '\\x%02x\\x%02x' $(($4 >> 8)) $(($4 & 255)))"; else patch_bytes "$1" "$2" "$(printf '\\x%02x\\x%02x' $(($4 & 255)) $(($4 >> 8)))"; fi; }
header_half() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }

# A byte of .MIPS.abiflags (3: isa_rev, 7: fp_abi).
patch_abiflags() {
    local offset
    offset="$(section_offset "$1" .MIPS.abiflags)"
    [[ -n "$offset" ]] || fail "the module has no .MIPS.abiflags"
    patch_bytes "$1" $((0x$offset + $2)) "$3"
}

# A copy of the sysroot's runtime (the loader, lib/ and the multiarch
# library folder), for a simulated gateway.
copy_runtime() {
    local from="${KPM_SYSROOT:?this case needs KPM_SYSROOT}" to="$1"
    mkdir -p "$to/usr/lib"
    cp -a "$from/lib" "$to/"
    cp -a "$from/usr/lib/mipsel-linux-gnu" "$to/usr/lib/"
    run_command="${KPM_RUN/-L $from/-L $to}"
    [[ "$run_command" != "${KPM_RUN:-}" ]] || fail "KPM_RUN does not name -L $from"
}

# A jsoncpp that writes the hexadecimal digits of its \u escapes in capitals
# (its table of digit pairs patched), so that the snapshot text of a module
# run with it differs from the known one.
upper_case_escapes() {
    python3 - "$1" <<'PY' || fail "no table of hexadecimal digit pairs in $1"
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
at = data.find(b"000102030405060708090a0b0c0d0e0f")
if at < 0:
    sys.exit(1)
data[at:at + 512] = data[at:at + 512].upper()
open(path, "wb").write(data)
PY
}

# The module kpm-check is given, and what its report must show.
status=1 loaded=no options=()
copy() { target="$work/$case.so"; cp "$module" "$target"; }
case "$case" in
    release)
        target="$module" status=0 loaded=yes line='^PASS: ' ;;
    lib-dir-jsoncpp | other-jsoncpp | differing-jsoncpp)
        target="$module" loaded=yes
        mkdir "$work/host-lib"
        gateway_jsoncpp="$( (cd "$dir" && ${KPM_RUN:-} ./kpm-check --json "$module") | python3 -c 'import json, sys; print(json.load(sys.stdin)["jsoncpp"]["file"])')" ||
            fail "no jsoncpp in the --json report"
        if [[ "$case" == lib-dir-jsoncpp ]]; then
            copied="$work/host-lib/$(basename "$gateway_jsoncpp")" status=0 line='^ok +jsoncpp +the module ran with '"$copied"
        elif [[ "$case" == other-jsoncpp ]]; then
            copied="$work/host-lib/libjsoncpp.so.1.9.0" status=3
            line='^WARN +jsoncpp +the module ran with '"$copied"' \(1\.9\.0, .*built against [0-9.]+ .*every known answer matched'
        else
            copied="$work/host-lib/libjsoncpp.so.1.9.0" status=1
            line='^FAIL +jsoncpp +the module ran with '"$copied"' \(1\.9\.0, .*built against [0-9.]+ .*and its answers differ'
        fi
        cp "${KPM_SYSROOT:-}$gateway_jsoncpp" "$copied"
        [[ "$case" != differing-jsoncpp ]] || upper_case_escapes "$copied"
        options=(--lib-dir "$work/host-lib") ;;
    weak-version)
        copy; make_newer_glibc "$target" weak; status=3 loaded=yes
        line="^WARN +libc\.so\.6 +needs ${newer_version//./\\.} \(weak\), which .* does not define" ;;
    newer-glibc)
        copy; make_newer_glibc "$target"
        line="^FAIL +libc\.so\.6 +needs ${newer_version//./\\.} \(for [^)]*\), which .*does not define \(it defines up to GLIBC_2\." ;;
    absent-library)
        copy
        at="$(grep -obUa 'libgcc_s\.so\.1' "$target" | cut -d: -f1 | head -n 1)"
        [[ -n "$at" ]] || fail "the module names no libgcc_s.so.1"
        patch_bytes "$target" "$at" 'libgcc_x.so.1'
        line='^FAIL +libgcc_x\.so\.1 +the module needs it, and the loader does not find it' ;;
    executable | relocatable)
        copy
        little="$(readelf -h "$target" | grep -c 'little endian')"
        write_half "$target" 16 "$( ((little)) && echo little || echo big)" "$([[ "$case" == executable ]] && echo 2 || echo 1)"
        line="^FAIL +file +$([[ "$case" == executable ]] && echo 'an executable program' || echo 'a relocatable object file'), not a shared object" ;;
    other-class)
        copy
        class="$(od -An -tu1 -j4 -N1 "$target" | tr -d ' ')"
        patch_bytes "$target" 4 "$( ((class == 1)) && echo '\x02' || echo '\x01')"
        line='^FAIL +class +the module is ELF(32|64); the C library is ELF(32|64): the module is built for another machine' ;;
    byte-order)
        copy
        machine="$(header_half "$target" 18)"
        patch_bytes "$target" 5 '\x02'
        write_half "$target" 16 big 3
        write_half "$target" 18 big "$machine"
        line='^FAIL +byte order +the module is big endian; the C library is little endian' ;;
    soft-float)
        copy; make_soft_float "$target"
        line='^FAIL +float ABI +the module is soft float; the C library is hard float' ;;
    nan-2008)
        copy
        flags_at=36
        patch_bytes "$target" $((flags_at + 1)) "$(printf '\\x%02x' $(( $(od -An -tu1 -j $((flags_at + 1)) -N1 "$target") | 0x04 )))"
        line='^FAIL +float ABI +the module has the 2008 NaN encoding; the C library the legacy one' ;;
    release-6)
        copy; patch_abiflags "$target" 3 '\x06'
        line='^FAIL +ISA +MIPS32r6; the C library: MIPS32r2: release 6 and the releases before it' ;;
    newer-isa)
        copy; patch_abiflags "$target" 3 '\x05'; status=3 loaded=yes
        line='^WARN +ISA +MIPS32r5; the C library: MIPS32r2: the module runs only on a core that implements MIPS32r5' ;;
    soft-float-gateway)
        target="$module"
        copy_runtime "$work/soft-gateway"
        # Every object with MIPS ABI flags (found by its section type) made
        # soft float, as make_soft_float does to one.
        patched="$(python3 - "$work/soft-gateway" <<'PY'
import os, struct, sys
patched = 0
for folder, _, names in os.walk(sys.argv[1]):
    for name in names:
        path = os.path.join(folder, name)
        if os.path.islink(path):
            continue
        with open(path, "r+b") as elf:
            head = elf.read(52)
            if len(head) < 52 or head[:4] != b"\x7fELF" or head[4] != 1 or head[5] != 1:
                continue
            shoff, = struct.unpack_from("<I", head, 32)
            shentsize, shnum = struct.unpack_from("<HH", head, 46)
            for index in range(shnum):
                elf.seek(shoff + index * shentsize)
                section = elf.read(40)
                if len(section) == 40 and struct.unpack_from("<I", section, 4)[0] == 0x7000002A:
                    elf.seek(struct.unpack_from("<I", section, 16)[0] + 7)
                    elf.write(b"\x03")
                    patched += 1
print(patched)
PY
)"
        ((patched > 3)) || fail "only $patched objects of the sysroot were made soft float"
        readelf -A "$work/soft-gateway/lib/ld.so.1" | grep 'FP ABI: *Soft float' >/dev/null || fail "the loader does not read as soft float"
        line='^FAIL +float ABI +the module is hard float; the C library is soft float' ;;
    bundled-jsoncpp)
        target="$module" status=0 loaded=yes
        copy_runtime "$work/no-jsoncpp"
        rm "$work/no-jsoncpp"/usr/lib/mipsel-linux-gnu/libjsoncpp*
        line='^ok +jsoncpp +the module ran with .*/lib/libjsoncpp\.so\.[0-9.]+ \(.*; none in .*so the copy kpm-check brings' ;;
    other-machine)
        [[ -f "$given" ]] || fail "other-machine needs a module"
        target="$work/other-machine.so"
        cp "$given" "$target"
        line='^FAIL +machine +the module is [^;]+; the C library is [^:]+: the module is built for another machine' ;;
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
run() { (cd "$dir" && $run_command ./kpm-check "$@"); }
report="$(run "${options[@]}" "$target")" && code=0 || code=$?
echo "$report"
[[ "$code" == "$status" ]] || fail "kpm-check exited with $code, expected $status"
grep -Eq "$line" <<<"$report" || fail "no line matches: $line"
if [[ "$loaded" == yes ]]; then
    grep -Eq '^ok +load +dlopen' <<<"$report" || fail "the module was not loaded"
else
    grep -Eq '^-- +load +not tried' <<<"$report" || fail "the module was loaded: the file alone shows the fault"
fi
# The --json report says the same, and names the jsoncpp the module ran
# with: on a gateway the first in the loader's folders, not kpm-check's own;
# with --lib-dir the copy there; without one on the gateway, the own copy.
json="$(run --json "${options[@]}" "$target")" && json_code=0 || json_code=$?
[[ "$json_code" == "$code" && "$(wc -l <<<"$json")" == 1 ]] || fail "the JSON report exits $json_code: $json"
jsoncpp_json() { python3 -c 'import json, sys; d = json.load(sys.stdin); print(d["jsoncpp"][sys.argv[1]], d["exit_status"])' "$1" <<<"$json"; }
case "$case" in
    release)
        ! grep -Eq '^(WARN|FAIL) ' <<<"$report" || fail "a line of the release's report is not ok"
        [[ "$json" == *'"verdict":"PASS: '* ]] || fail "the JSON verdict is not PASS: $json"
        [[ "$(jsoncpp_json found_in)" == "loader folders 0" && "$(jsoncpp_json file)" != "$dir/lib/"* &&
           "$(basename "$(jsoncpp_json file)")" == libjsoncpp.so* ]] ||
            fail "the JSON report does not name the gateway's jsoncpp: $json" ;;
    lib-dir-jsoncpp | other-jsoncpp)
        [[ "$(jsoncpp_json file)" == "$copied $code" && "$(jsoncpp_json found_in)" == "command line $code" ]] ||
            fail "the JSON report does not name the copy $copied: $json"
        ! grep -Eq '^FAIL ' <<<"$report" || fail "an answer differed with the copy" ;;
    bundled-jsoncpp)
        [[ "$(jsoncpp_json found_in)" == "bundled 0" ]] || fail "the JSON report does not name the bundled jsoncpp: $json" ;;
esac
if [[ "$case" == changed-snapshot ]]; then
    grep -Eq '^FAIL +snapshot object +.*: expected 5000\.0, came 5$' <<<"$report" ||
        fail "the snapshot object's difference is not named"
fi
echo "ok: kpm-check on the $case module: exit $code, $(grep -E "$line" <<<"$report" | head -n 1 | cut -c1-100)"
