#!/usr/bin/env bash
# Checks on the dynamic interface of a built module, read with readelf:
#
#   check_module.sh header    MODULE CLASS MACHINE [FLAG]  ELF class, byte order, machine (and ABI flag)
#   check_module.sh needed    MODULE ALLOWED_FILE          every DT_NEEDED entry is in the list
#   check_module.sh exports   MODULE EXPECTED_FILE         exactly the listed symbols are exported,
#                                                          none of them GNU-unique
#   check_module.sh undefined MODULE ALLOWED_FILE          every symbol left to the loading process is
#                                                          in the reviewed list
#   check_module.sh undefined-update MODULE ALLOWED_FILE   rewrites that list from the module
#   check_module.sh versions  MODULE FLOOR_FILE            no library symbol version needed is above
#                                                          the highest the list allows per namespace
#   check_module.sh highest   MODULE                       prints the highest version needed per namespace
#
# Lists hold one entry per line; text after '#' is a comment. Exit status: 0
# when the module passes, 1 when it does not, 2 on misuse.
set -euo pipefail
export LC_ALL=C

fail() { echo "FAIL: $*" >&2; exit 1; }
usage() { sed -n '3,14s/^# \{0,1\}//p' "$0" >&2; exit 2; }

list_entries() { sed -e 's/#.*//' -e 's/[[:space:]]\+/ /g' -e 's/^ //' -e 's/ $//' "$1" | grep -v '^$' | sort -u; }

header_field() { readelf -h -W "$module" | sed -n "s/^ *$1: *//p"; }

# Rows of the dynamic symbol table: type, binding, section index, name (with
# @VERSION for symbols bound to a library's symbol version).
dynamic_symbols() { readelf --dyn-syms -W "$module" | awk '$1 ~ /^[0-9]+:$/ && $8 != "" {print $4, $5, $7, $8}'; }

check_header() {
    local want_class="$1" want_machine="$2" want_flag="${3:-}"
    local class data type machine flags
    class="$(header_field Class)"
    data="$(header_field Data)"
    type="$(header_field Type)"
    machine="$(header_field Machine)"
    flags="$(header_field Flags)"
    [[ "$class" == "$want_class" ]] || fail "ELF class is $class, expected $want_class"
    [[ "$data" == *"little endian"* ]] || fail "byte order is '$data', expected little endian"
    [[ "$type" == DYN* ]] || fail "ELF type is '$type', expected a shared object"
    [[ "$machine" == "$want_machine" ]] || fail "machine is '$machine', expected '$want_machine'"
    if [[ -n "$want_flag" && ",${flags// /}," != *",$want_flag,"* ]]; then
        fail "flags '$flags' lack $want_flag"
    fi
    echo "ok: $class, $data, $machine${want_flag:+, $want_flag}"
}

check_needed() {
    local allowed="$1" needed unexpected
    needed="$(readelf -d -W "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | sort -u)"
    unexpected="$(comm -23 <(echo "$needed") <(list_entries "$allowed"))"
    [[ -z "$unexpected" ]] || fail "unexpected NEEDED entries:" $unexpected
    echo "ok: NEEDED" $needed
}

check_exports() {
    local expected="$1" symbols exported unique missing extra problems=0
    symbols="$(dynamic_symbols)"
    exported="$(awk '$2 != "LOCAL" && $3 != "UND" {sub(/@.*/, "", $4); print $1, $4}' <<<"$symbols" | sort -u)"
    unique="$(awk '$2 == "UNIQUE" {print $4}' <<<"$symbols")"
    missing="$(comm -23 <(list_entries "$expected") <(echo "$exported"))"
    extra="$(comm -13 <(list_entries "$expected") <(echo "$exported"))"
    if [[ -n "$unique" ]]; then
        echo "GNU-unique symbols, which keep dlclose from unloading the module:" $unique >&2
        problems=1
    fi
    if [[ -n "$missing" ]]; then
        echo "not exported (type name):" $missing >&2
        problems=1
    fi
    if [[ -n "$extra" ]]; then
        echo "exported beyond the list (type name):" $extra >&2
        problems=1
    fi
    (( problems == 0 )) || fail "exports differ from $expected"
    echo "ok: exports" $(awk '{print $2}' <<<"$exported")
}

# A symbol the module leaves undefined without a library version is not in
# any library it links: the loading process must provide it (host framework,
# jsoncpp) or it is an optional weak reference of the toolchain's start files.
symbols_from_process() { dynamic_symbols | awk '$3 == "UND" && $4 !~ /@/ {print $4}' | sort -u; }

check_undefined() {
    local allowed="$1" wanted unexpected stale
    wanted="$(symbols_from_process)"
    unexpected="$(comm -23 <(echo "$wanted") <(list_entries "$allowed"))"
    stale="$(comm -13 <(echo "$wanted") <(list_entries "$allowed"))"
    if [[ -n "$unexpected" ]]; then
        echo "symbols the module now needs from the loading process:" >&2
        c++filt <<<"$unexpected" | paste -d'\t' <(echo "$unexpected") - | sed 's/^/  /' >&2
        fail "new dependency on the host; after review: $0 undefined-update MODULE $allowed"
    fi
    [[ -z "$stale" ]] || echo "note: listed but no longer needed:" $stale
    echo "ok: $(wc -l <<<"$wanted") symbols from the loading process, all listed"
}

update_undefined() {
    local allowed="$1" wanted
    wanted="$(symbols_from_process)"
    {
        echo "# Symbols the module leaves to the process that loads it: the host framework,"
        echo "# jsoncpp, and weak references of the toolchain's start files. A change to"
        echo "# this list is a change of what the module needs from the host."
        echo "# Regenerate with: tests/target/check_module.sh undefined-update MODULE FILE"
        c++filt <<<"$wanted" | paste -d' ' <(echo "$wanted") - |
            awk '{name = $1; $1 = ""; sub(/^ /, ""); if (name == $0) print name; else print name "  # " $0}'
    } > "$allowed"
    echo "wrote $(wc -l <<<"$wanted") symbols to $allowed"
}

# Library symbol versions the module needs (GLIBC_2.2, GLIBCXX_3.4.21, ...),
# from its version-needs section: a gateway's loader refuses the module if any
# is missing there.
needed_versions() { readelf -V -W "$module" | sed -n 's/.*Name: \([^ ]*\) *Flags:.*/\1/p' | sort -u; }

# "NAMESPACE NUMBER" per needed version; a version without a number
# (GLIBC_PRIVATE) keeps an empty one.
split_versions() { sed -E 's/^(.*)_([0-9][0-9.]*)$/\1 \2/; t; s/$/ /'; }

version_above() { [[ "$1" != "$2" && "$(printf '%s\n%s\n' "$1" "$2" | sort -V | tail -n 1)" == "$1" ]]; }

highest_versions() {
    needed_versions | split_versions | sort -k1,1 -k2,2V |
        awk '{top[$1] = $2} END {for (ns in top) print ns (top[ns] == "" ? "" : "_" top[ns])}' | sort
}

# The floor list has "NAMESPACE HIGHEST" rows, and "NAMESPACE VERSION SYMBOL"
# rows for single symbols allowed above it.
check_versions() {
    local floor="$1" entries ns number allowed symbols symbol problems=0
    entries="$(list_entries "$floor")"
    while read -r ns number; do
        [[ -n "$ns" ]] || continue
        allowed="$(awk -v ns="$ns" 'NF == 2 && $1 == ns {print $2}' <<<"$entries")"
        if [[ -z "$allowed" ]]; then
            echo "needs ${ns}${number:+_$number}, a namespace the list does not allow" >&2
            problems=1
            continue
        fi
        if [[ -z "$number" ]]; then
            echo "needs $ns, which has no version number to compare" >&2
            problems=1
            continue
        fi
        version_above "$number" "$allowed" || continue
        symbols="$(dynamic_symbols | awk -v v="${ns}_${number}" '$3 == "UND" && split($4, part, "@") == 2 && part[2] == v {print part[1]}' | sort -u)"
        for symbol in $symbols; do
            if ! awk -v ns="$ns" -v n="$number" -v s="$symbol" 'NF == 3 && $1 == ns && $2 == n && $3 == s {found = 1} END {exit !found}' <<<"$entries"; then
                echo "needs ${symbol}@${ns}_${number}, above ${ns}_${allowed}" >&2
                problems=1
            fi
        done
    done < <(needed_versions | split_versions)
    (( problems == 0 )) || fail "the module needs symbol versions above $floor"
    echo "ok: highest versions needed" $(highest_versions)
}

[[ $# -ge 2 ]] || usage
if [[ "$1" == highest ]]; then
    module="$2"
    [[ -f "$module" ]] || fail "no module at $module"
    highest_versions
    exit 0
fi
[[ $# -ge 3 ]] || usage
check="$1"
module="$2"
shift 2
[[ -f "$module" ]] || fail "no module at $module"
case "$check" in
    header)           check_header "$@" ;;
    needed)           check_needed "$1" ;;
    exports)          check_exports "$1" ;;
    undefined)        check_undefined "$1" ;;
    undefined-update) update_undefined "$1" ;;
    versions)         check_versions "$1" ;;
    *)                usage ;;
esac
