#!/usr/bin/env bash
# Shows that the gateway build uses the cross tools and the sysroot it is
# given, as an integrator with a vendor's toolchain gives them:
#
#   check_toolchain_variables.sh SOURCE_DIR SYSROOT WORK_DIR
#
# WORK_DIR gets a folder of links named like another vendor's tools
# (gw-vendor-linux-gcc, ...) to Debian's mipsel-linux-gnu tools and a link
# to SYSROOT; the build is configured with KPM_CROSS_PREFIX and KPM_SYSROOT
# pointing there, and must compile with those tools and search that sysroot.
set -euo pipefail
export LC_ALL=C

fail() { echo "FAIL: $*" >&2; exit 1; }
[[ $# -eq 3 ]] || { sed -n '5s/^# *//p' "$0" >&2; exit 2; }
source_dir="$1" sysroot="$2" work="$3"

rm -rf "$work"
mkdir -p "$work/tools"
prefix="$work/tools/gw-vendor-linux-"
for tool in gcc g++ cpp ar ranlib nm objcopy objdump readelf strip addr2line ld; do
    real="$(command -v "mipsel-linux-gnu-$tool")" || fail "no mipsel-linux-gnu-$tool"
    ln -s "$real" "$prefix$tool"
done
ln -s "$sysroot" "$work/vendor-sysroot"

cmake -S "$source_dir" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-mipsel.cmake" \
    -DKPM_CROSS_PREFIX="$prefix" -DKPM_SYSROOT="$work/vendor-sysroot" -DBUILD_TESTING=OFF \
    > "$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure failed"; }

cached() { sed -n "s/^$1:[A-Z]*=//p" "$work/build/CMakeCache.txt"; }
compiler="$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$work"/build/CMakeFiles/*/CMakeCXXCompiler.cmake)"
[[ "$compiler" == "${prefix}g++" ]] || fail "C++ compiler is '$compiler', expected ${prefix}g++"
for tool in OBJCOPY STRIP READELF ADDR2LINE; do
    [[ "$(cached CMAKE_$tool)" == "$prefix"* ]] || fail "CMAKE_$tool is '$(cached CMAKE_$tool)', not one of the given tools"
done
[[ "$(cached KPM_SYSROOT)" == "$work/vendor-sysroot" ]] || fail "KPM_SYSROOT is '$(cached KPM_SYSROOT)'"
commands="$work/build/compile_commands.json"
grep -q "\"command\": \"${prefix}g++ " "$commands" || fail "objects are not compiled with ${prefix}g++"
grep -q -- "-isystem $work/vendor-sysroot/usr/include" "$commands" ||
    fail "the libraries' headers are not taken from the given sysroot"
echo "ok: built with ${prefix}g++ against $work/vendor-sysroot"
