#!/usr/bin/env bash
# Builds the gateway module a second time, from a copy of the tree in another
# folder with another build folder and another path to the sysroot, and
# compares it with the module of an existing gateway build:
#
#   check_reproducible.sh BUILD_DIR WORK_DIR [JOBS]
#
# Passes when the stripped modules are byte for byte the same and the build
# ids (taken over the whole module, debug information included) are equal.
# The copy holds the files git tracks or would track, as they are now (all
# but build folders and dist/ outside a git checkout).
set -euo pipefail
export LC_ALL=C

fail() { echo "FAIL: $*" >&2; exit 1; }
[[ $# -ge 2 ]] || { sed -n '6s/^# *//p' "$0" >&2; exit 2; }
build="$(cd "$1" && pwd)" work="$2" jobs="${3:-2}"
cache="$build/CMakeCache.txt"
[[ -f "$build/kalvorpowermeter.so" && -f "$cache" ]] || fail "no built gateway module in $build"
cached() { sed -n "s/^$1:[A-Z]*=//p" "$cache"; }
source_dir="$(cached CMAKE_HOME_DIRECTORY)"
strip="$(cached CMAKE_STRIP)"

rm -rf "$work"
mkdir -p "$work"
work="$(cd "$work" && pwd)"
other="$work/elsewhere"
mkdir -p "$other/source-copy"
if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
        tar -C "$source_dir" --null -T - --ignore-failed-read -cf - 2>/dev/null
else
    tar -C "$source_dir" --exclude='./build*' --exclude=./dist -cf - .
fi | tar -C "$other/source-copy" -xf -
ln -s "$(cached KPM_SYSROOT)" "$other/sysroot-link"

cmake -S "$other/source-copy" -B "$other/second-build" -DCMAKE_BUILD_TYPE="$(cached CMAKE_BUILD_TYPE)" \
    -DCMAKE_TOOLCHAIN_FILE="$other/source-copy/cmake/toolchain-mipsel.cmake" \
    -DKPM_CROSS_PREFIX="$(cached KPM_CROSS_PREFIX)" -DKPM_SYSROOT="$other/sysroot-link" -DBUILD_TESTING=OFF \
    > "$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure failed"; }
cmake --build "$other/second-build" -j"$jobs" --target kalvorpowermeter > "$work/build.log" 2>&1 ||
    { cat "$work/build.log"; fail "build failed"; }

first="$build/kalvorpowermeter.so" second="$other/second-build/kalvorpowermeter.so"
build_id() { readelf -n "$1" | sed -n 's/^ *Build ID: //p'; }
"$strip" --strip-all -o "$work/first.so" "$first"
"$strip" --strip-all -o "$work/second.so" "$second"
if ! cmp -s "$work/first.so" "$work/second.so" || [[ "$(build_id "$first")" != "$(build_id "$second")" ]]; then
    echo "build ids: $(build_id "$first") and $(build_id "$second")" >&2
    echo "paths found in only one of the two modules (first 20):" >&2
    paths() { strings -a -n 6 "$1" | grep / | sort -u; }
    diff <(paths "$first") <(paths "$second") | grep '^[<>]' | head -n 20 >&2 || true
    fail "the module is not reproducible: $first and $second differ"
fi
echo "ok: the same module, build id $(build_id "$first"), from $source_dir and from $other/source-copy"
