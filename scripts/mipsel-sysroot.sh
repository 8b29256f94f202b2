#!/usr/bin/env bash
# Builds the sysroot for the mipsel cross build: Debian's mipsel packages of
# the libraries the module and its tests compile against (jsoncpp, Boost
# headers) and of the runtime qemu-mipsel loads them with (glibc, libgcc,
# libstdc++), downloaded with apt and unpacked into the folder given.
# Multiarch installs of the mipsel -dev packages do not resolve on Debian 12,
# so the packages are unpacked by hand; their dependencies are listed here.
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

stamp="$sysroot/.packages"
wanted="${packages[*]}"
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
echo "$wanted" > "$stamp"
