#!/usr/bin/env bash
# Checks a release archive as an integrator uses it:
#
#   check_release.sh ARCHIVE VERSION ADDR2LINE
#
# the archive holds the stripped module, its debug file, MANIFEST, INSTALL,
# kpm-check and lib/; the manifest's sha256, version and build id are the
# module's; the debug file has the same build id and the module a debug link
# to it; ADDR2LINE with the debug file turns an address inside get_providers
# of the stripped module into the function and its source file; kpm-check
# is built for the module's machine and of either float ABI, lib/ holds the
# part that runs the module and a jsoncpp, and none of them needs more of
# the gateway's runtime than the module (libraries and symbol versions).
set -euo pipefail
export LC_ALL=C

fail() { echo "FAIL: $*" >&2; exit 1; }
[[ $# -eq 3 ]] || { sed -n '4s/^# *//p' "$0" >&2; exit 2; }
archive="$1" version="$2" addr2line="$3"
[[ -f "$archive" ]] || fail "no archive at $archive"

unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"' EXIT
tar -xzf "$archive" -C "$unpacked"
dir="$unpacked/kalvorpowermeter-$version-mipsel"
files="$(cd "$dir" && find . -type f -not -path './lib/*' | sort | tr '\n' ' ')"
want="./INSTALL ./MANIFEST ./kalvorpowermeter.so ./kalvorpowermeter.so.debug ./kpm-check "
[[ "$files" == "$want" ]] || fail "archive holds: $files and lib/"
module="$dir/kalvorpowermeter.so" debug="$dir/kalvorpowermeter.so.debug"

manifest() { sed -n "s/^$1: //p" "$dir/MANIFEST"; }
build_id() { readelf -n "$1" | sed -n 's/^ *Build ID: //p'; }
[[ "$(manifest version)" == "$version" ]] || fail "manifest version '$(manifest version)'"
[[ "$(readelf -p .kpm_version "$module" | sed -n 's/^ *\[ *0\] *//p')" == "kalvorpowermeter $version" ]] ||
    fail "the module does not carry 'kalvorpowermeter $version'"
[[ "$(manifest sha256)" == "$(sha256sum "$module" | cut -d' ' -f1)  kalvorpowermeter.so" ]] ||
    fail "manifest sha256 '$(manifest sha256)' is not the module's"
id="$(build_id "$module")"
[[ -n "$id" && "$id" == "$(build_id "$debug")" && "$id" == "$(manifest 'build id')" ]] ||
    fail "build ids differ: module '$id', debug file '$(build_id "$debug")', manifest '$(manifest 'build id')'"
[[ -z "$(readelf -S -W "$module" | grep -E ' \.(debug_[a-z]+|symtab) ')" ]] || fail "the module is not stripped"
[[ "$(readelf -p .gnu_debuglink "$module" | sed -n 's/^ *\[ *0\] *//p')" == kalvorpowermeter.so.debug ]] ||
    fail "no debug link to kalvorpowermeter.so.debug"

# An address in the middle of get_providers, as a crash inside it reports it.
read -r value size < <(readelf --dyn-syms -W "$module" | awk '$8 == "get_providers" {print $2, $3}')
[[ -n "${value:-}" && "${size:-0}" -gt 0 ]] || fail "get_providers is not in the module's dynamic symbols"
address="$(printf '0x%x' $(( 0x$value + size / 2 )))"
# With -i the code inlined there comes first, the function it is in last.
chain="$("$addr2line" -f -C -i -e "$debug" "$address")"
resolved="$(tail -n 2 <<<"$chain" | tr '\n' ' ')"
[[ "$resolved" =~ ^get_providers\ /.*/plugin/get_providers\.cpp:[0-9]+\ $ ]] ||
    fail "addr2line resolves $address to:" $chain
# kpm-check: the module's machine, and marked of either float ABI so that it
# starts on any gateway; lib/ holds the part that runs the module and the
# jsoncpp for a gateway without one, of the module's machine and float ABI;
# none of them needs a library beyond the gateway's C and C++ runtime or a
# symbol version above the module's floor.
check="$dir/kpm-check"
header() { readelf -h "$1" | sed -n 's/^ *\(Class\|Data\|Machine\): *//p'; }
target() { header "$1"; readelf -A "$1" | grep -E '^(ISA|FP ABI):'; }
[[ "$(header "$check")" == "$(header "$module")" ]] ||
    fail "kpm-check is built for another machine than the module:" $(header "$check")
[[ "$(readelf -A "$check" | sed -n 's/^FP ABI: *//p')" == "Hard or soft float" ]] ||
    fail "kpm-check is not marked of either float ABI:" $(readelf -A "$check" | grep '^FP ABI')
brought="$(ls "$dir/lib" | sort | tr '\n' ' ')"
[[ "$brought" =~ ^kpm-check-run\.so\ libjsoncpp\.so\.[0-9]+\.[0-9]+\.[0-9]+\ $ ]] ||
    fail "lib/ holds: $brought"
for file in "$dir"/lib/*; do
    [[ "$(target "$file")" == "$(target "$module")" ]] ||
        fail "lib/$(basename "$file") is built for another target than the module:" $(target "$file")
done
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'; }
runtime="$( (sed -e 's/#.*//' -e 's/[[:space:]]//g' "$(dirname "$0")/allowed-needed.txt"; echo libdl.so.2; echo libpthread.so.0) |
    grep -v '^$' | sort -u)"
beyond="$(for file in "$check" "$dir"/lib/*; do needed "$file"; done | sort -u | comm -23 - <(echo "$runtime"))"
[[ -z "$beyond" ]] || fail "kpm-check or lib/ needs beyond the gateway's runtime:" $beyond
for file in "$check" "$dir"/lib/*; do
    "$(dirname "$0")/check_module.sh" versions "$file" "$(dirname "$0")/runtime-floor-mipsel.txt" >/dev/null ||
        fail "${file#"$dir/"} needs a symbol version above the module's floor (above)"
done
echo "ok: $(basename "$archive"), build id $id; $address is $resolved; kpm-check with lib/: $brought"
