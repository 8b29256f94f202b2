#!/usr/bin/env bash
# Builds the sysroot for the mipsel cross build: Debian's mipsel packages of
# the libraries the module and its tests compile against (jsoncpp, Boost
# headers) and of the runtime qemu-mipsel loads them with (glibc, libgcc,
# libstdc++), downloaded with apt and unpacked into the folder given.
# Multiarch installs of the mipsel -dev packages do not resolve on Debian 12,
# so the packages are unpacked by hand; their dependencies are listed here.
# It also unpacks Debian's source of the jsoncpp package into src/jsoncpp:
# kpm-check brings a jsoncpp built from it that needs no more of the C++
# runtime than the module (the binary package's needs GCC 11's). apt fetches
# it with a source list of its own in a scratch folder; the machine's apt
# configuration is left as it is.
# Quick when the folder already holds this package list.
set -euo pipefail

usage="usage: $0 SYSROOT_DIR"
sysroot="${1:?$usage}"
arch=mipsel
packages=(
    libc6 libgcc-s1 libstdc++6        # runtime the test executables load
    libjsoncpp25 libjsoncpp-dev       # the host's JSON library
    libboost1.74-dev                  # Boost headers (Date_Time is header-only)
)

# The source package of libjsoncpp25, unpacked with dpkg-source (patches
# applied), at the version of the binary package.
jsoncpp_source=libjsoncpp
stamp="$sysroot/.packages"
wanted="${packages[*]} source:$jsoncpp_source"
if [[ -f "$stamp" && "$(cat "$stamp")" == "$wanted" ]]; then
    exit 0
fi

sudo=()
if [[ "$(id -u)" -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "mipsel-sysroot: need root or sudo to add the $arch architecture to apt" >&2; exit 1; }
    sudo=(sudo)
fi

if ! dpkg --print-foreign-architectures | grep -x "$arch" >/dev/null; then
    echo "mipsel-sysroot: adding the $arch architecture to apt"
    "${sudo[@]}" dpkg --add-architecture "$arch"
fi

qualified=("${packages[@]/%/:$arch}")
echo "mipsel-sysroot: downloading ${packages[*]} for $arch into $sysroot"
rm -rf "$sysroot"
mkdir -p "$sysroot"
downloads="$(mktemp -d)"
trap 'rm -rf "$downloads"' EXIT
download() {
    local output status=0
    output="$(cd "$downloads" && apt-get download -qq "${qualified[@]}" 2>&1)" || status=$?
    grep -v 'unsandboxed as root' <<<"$output" >&2 || true
    return "$status"
}
# apt knows no mipsel package until the lists are refreshed after the
# architecture was added; otherwise the lists are refreshed only if needed.
if ! download 2>/dev/null; then
    echo "mipsel-sysroot: updating the package lists"
    "${sudo[@]}" apt-get update -qq
    download || true
fi

for package in "${packages[@]}"; do
    deb=("$downloads/${package}_"*"_$arch.deb")
    [[ -f "${deb[0]}" ]] || { echo "mipsel-sysroot: $package:$arch was not downloaded" >&2; exit 1; }
    dpkg-deb -x "${deb[0]}" "$sysroot"
done

# jsoncpp's source, of the version unpacked above, through apt with the
# Debian archive of the machine's own release as the only source list.
jsoncpp_version="$(dpkg-deb -f "$(echo "$downloads"/libjsoncpp25_*_"$arch".deb)" Version)"
codename="$(. /etc/os-release && echo "${VERSION_CODENAME:?}")"
apt_dir="$downloads/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts" "$apt_dir/source"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $codename main" \
    > "$apt_dir/sources.list"
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
             -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
echo "mipsel-sysroot: downloading the source of $jsoncpp_source $jsoncpp_version"
source_apt() { (cd "$apt_dir/source" && apt-get "${apt_options[@]}" -qq "$@" 2>&1) | { grep -v 'unsandboxed as root' >&2 || true; }; }
source_apt update
source_apt source --download-only "$jsoncpp_source=$jsoncpp_version"
# apt checked the files against the archive's signed index; dpkg-source
# has no key to check the .dsc's own signature with, and says so.
mkdir -p "$sysroot/src"
(cd "$apt_dir/source" && dpkg-source -x "${jsoncpp_source}_${jsoncpp_version#*:}.dsc" "$sysroot/src/jsoncpp" \
    >"$apt_dir/unpack.log" 2>&1) || { cat "$apt_dir/unpack.log" >&2; exit 1; }
rm -f "$sysroot/src/"*.tar.*
[[ -f "$sysroot/src/jsoncpp/src/lib_json/json_value.cpp" ]] ||
    { echo "mipsel-sysroot: no jsoncpp source was unpacked" >&2; exit 1; }
echo "$wanted" > "$stamp"
