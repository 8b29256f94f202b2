#!/usr/bin/env bash
# Packs the gateway module of a cross build into a release archive:
#
#   package-release.sh BUILD_DIR DIST_DIR
#
# writes DIST_DIR/kalvorpowermeter-VERSION-mipsel.tar.gz with the stripped
# module, its debug information as a separate file (same build id, and a
# debug link in the module), the self-test kpm-check with the libraries it
# brings in lib/, a manifest and install notes. The module must pass the
# needed-library, export and runtime-floor checks first. The tools are the
# build's own (its compiler's binutils), read from its CMake cache.
set -euo pipefail
export LC_ALL=C

[[ $# -eq 2 ]] || { sed -n '4s/^# *//p' "$0" >&2; exit 2; }
build="$1" dist="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
checks="$here/../tests/target"
module="$build/kalvorpowermeter.so"
cache="$build/CMakeCache.txt"
fail() { echo "package-release: $*" >&2; exit 1; }

check_dir="$build/kpmcheck"
[[ -f "$module" ]] || fail "no module at $module; build the target kalvorpowermeter first"
[[ -f "$check_dir/kpm-check" && -d "$check_dir/lib" ]] ||
    fail "no kpm-check and lib/ in $check_dir; build the target kpm-check first"
[[ -f "$cache" ]] || fail "no CMake cache in $build"
cached() { sed -n "s/^$1:[A-Z]*=//p" "$cache"; }
version="$(cached CMAKE_PROJECT_VERSION)"
source_dir="$(cached CMAKE_HOME_DIRECTORY)"
strip="$(cached CMAKE_STRIP)"
objcopy="$(cached CMAKE_OBJCOPY)"
[[ -n "$version" && -x "$strip" && -x "$objcopy" ]] || fail "the cache in $build lacks the version or the binutils"
compiler="$(sed -n 's/^ *"command": "\([^ ]*\) .*/\1/p;T;q' "$build/compile_commands.json")"

# A release holds only a module that would pass the target checks.
"$checks/check_module.sh" needed "$module" "$checks/allowed-needed.txt" >/dev/null
"$checks/check_module.sh" exports "$module" "$checks/exported-symbols.txt" >/dev/null
"$checks/check_module.sh" versions "$module" "$checks/runtime-floor-mipsel.txt" >/dev/null

if commit="$(git -C "$source_dir" rev-parse HEAD 2>/dev/null)"; then
    if [[ -n "$(git -C "$source_dir" status --porcelain --untracked-files=no)" ]]; then
        commit="$commit-dirty"
        echo "package-release: warning: the tree has uncommitted changes" >&2
    fi
    epoch="$(git -C "$source_dir" log -1 --format=%ct)"
else
    commit="unknown (not a git checkout)"
    epoch=0
fi

name="kalvorpowermeter-$version-mipsel"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
out="$stage/$name"
mkdir "$out"

# The debug file keeps the build id note; the module gets a debug link to it.
# binutils warns, for MIPS modules, that the debug file's (empty) build id
# note no longer fits a loadable segment; the note is kept all the same.
"$objcopy" --only-keep-debug "$module" "$out/kalvorpowermeter.so.debug" 2>&1 |
    { grep -v "build-id' can't be allocated in segment\|^LOAD: " >&2 || true; }
"$strip" --strip-all -o "$out/kalvorpowermeter.so" "$module"
(cd "$out" && "$objcopy" --add-gnu-debuglink=kalvorpowermeter.so.debug kalvorpowermeter.so)
chmod 0644 "$out"/kalvorpowermeter.so*

# The self-test, with what it brings in lib/ beside it: the part that runs
# the module and the jsoncpp for a gateway without one. They must start
# wherever the module loads: no symbol version above the module's floor.
"$strip" --strip-all -o "$out/kpm-check" "$check_dir/kpm-check"
mkdir "$out/lib"
for file in "$check_dir"/lib/*; do
    "$strip" --strip-all -o "$out/lib/$(basename "$file")" "$file"
done
chmod 0755 "$out/kpm-check"
chmod 0644 "$out"/lib/*
for file in "$out/kpm-check" "$out"/lib/*; do
    "$checks/check_module.sh" versions "$file" "$checks/runtime-floor-mipsel.txt" >/dev/null ||
        fail "${file#"$out/"} needs more of the runtime than the module (above)"
done

stripped="$out/kalvorpowermeter.so"
build_id="$(readelf -n "$stripped" | sed -n 's/^ *Build ID: //p')"
[[ -n "$build_id" ]] || fail "the module has no build id"
sha256="$(sha256sum "$stripped" | cut -d' ' -f1)"
carried="$(readelf -p .kpm_version "$stripped" | sed -n 's/^ *\[ *0\] *//p')"
[[ "$carried" == "kalvorpowermeter $version" ]] || fail "the module carries '$carried', expected 'kalvorpowermeter $version'"

header_field() { readelf -h "$stripped" | sed -n "s/^ *$1: *//p"; }
# The newest version per name space that kpm-check or a library in lib/
# needs: at most the module's floor.
check_needs="$(for file in "$out/kpm-check" "$out"/lib/*; do "$checks/check_module.sh" highest "$file"; done |
    sed -E 's/_([0-9])/ \1/' | sort -k1,1 -k2,2V | awk '{top[$1] = $2} END {for (ns in top) print ns (top[ns] == "" ? "" : "_" top[ns])}' | sort)"
{
    echo "name: kalvorpowermeter"
    echo "version: $version"
    echo "source commit: $commit"
    echo "build id: $build_id"
    echo "sha256: $sha256  kalvorpowermeter.so"
    echo "debug file: kalvorpowermeter.so.debug, sha256 $(sha256sum "$out/kalvorpowermeter.so.debug" | cut -d' ' -f1)"
    echo "compiler: $("$compiler" --version | head -n 1)"
    echo "target: $(header_field Class) $(header_field Data | sed 's/.*, //'), $(header_field Machine)," \
         "$(header_field Flags | sed 's/^0x[0-9a-f]*, //')"
    echo "float ABI: $(readelf -A "$stripped" | sed -n 's/^ *FP ABI: *//p')"
    echo "needed:" $(readelf -d "$stripped" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
    echo "highest symbol versions needed:" $("$checks/check_module.sh" highest "$stripped")
    echo "exported symbols:"
    readelf --dyn-syms -W "$stripped" | awk '$1 ~ /^[0-9]+:$/ && $5 != "LOCAL" && $7 != "UND" && $8 != "" {print "  " $4, $8}' | sort -u
    echo "kpm-check: the self-test, built with the same compiler; lib/:" $(cd "$out/lib" && ls)
    echo "kpm-check needs, with lib/:" $check_needs
} > "$out/MANIFEST"

sed -e "s/@VERSION@/$version/g" -e "s/@BUILD_ID@/$build_id/g" -e "s/@SHA256@/$sha256/g" \
    -e "s/@CHECK_NEEDS@/$(echo $check_needs)/g" \
    -e "s/@BUILD_ID_HEAD@/${build_id:0:2}/g" -e "s/@BUILD_ID_TAIL@/${build_id:2}/g" \
    "$here/release-install-notes.txt" > "$out/INSTALL"

mkdir -p "$dist"
archive="$dist/$name.tar.gz"
touch -d "@$epoch" "$out" "$out"/* "$out"/lib/*
tar --sort=name --owner=0 --group=0 --numeric-owner -C "$stage" -cf - "$name" | gzip -n -9 > "$archive"
echo "$archive: kalvorpowermeter $version, build id $build_id"
