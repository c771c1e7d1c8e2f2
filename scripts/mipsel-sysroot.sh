#!/usr/bin/env bash
# Builds the folder of mipsel headers and libraries the cross build links against,
# from Debian's own mipsel packages. `apt-get install libfoo-dev:mipsel` cannot be
# used: it would have to install mipsel copies of base packages whose versions differ
# from the amd64 ones on this machine. Downloading the .deb files and unpacking them
# into a plain folder sidesteps dpkg's bookkeeping. The C library and libstdc++ come
# with the cross compiler (/usr/mipsel-linux-gnu), not from here.
#   scripts/mipsel-sysroot.sh [DIR]    default DIR: build-mipsel-sysroot/ in the tree
# Safe to run again: when DIR's stamp lists the same packages, it does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
sysroot=${1:-$PWD/build-mipsel-sysroot}

# What the plug-in, its tests, vimohost and novexups-sim link against. Runtime
# packages (libjsoncpp25, ...) carry the shared objects the tests load under qemu.
packages=(
  libjsoncpp25 libjsoncpp-dev
  libboost1.74-dev
  libgtest-dev libgmock-dev
  libmodbus5 libmodbus-dev
  libsqlite3-0 libsqlite3-dev
  libzstd1 libzstd-dev
  libcivetweb1 libcivetweb-dev
  zlib1g zlib1g-dev
  libssl3 libssl-dev
  libyaml-cpp0.7 libyaml-cpp-dev
  libcrypt1 libcrypt-dev
  # net-snmp's agent library for vimohost's AgentX subagent (snmp/agent.cpp)
  libsnmp40 libsnmp-dev
  # What libnetsnmpagent needs in turn (readelf -d, followed to the end): the linker
  # resolves it through -rpath-link and qemu's loader loads it. Shared objects alone,
  # no headers: nothing here includes them. libnetsnmpagent: libwrap, libperl.
  libwrap0 libperl5.36
  # netsnmp-agent.pc links libnetsnmpmibs too: libsensors, libpci -> libudev.
  libsensors5 libpci3 libudev1
  # libwrap -> libnsl -> libtirpc -> libgssapi_krb5 -> the Kerberos libraries.
  libnsl2 libtirpc3 libgssapi-krb5-2
  libkrb5-3 libk5crypto3 libcom-err2 libkrb5support0 libkeyutils1
)
# Architecture-independent (header-only) packages, asked for without an architecture.
all_packages=(libcli11-dev)
stamp="$sysroot/.packages"
# The last lines mark a sysroot that keeps the packages' shlibs files (for the package's
# Depends, scripts/package.sh) and the CMake and pkg-config files under usr/share
# (CLI11's); an older one is made again.
wanted=$(printf '%s:mipsel\n' "${packages[@]}"; printf '%s\n' "${all_packages[@]}" "shlibs kept" "share cmake kept")
if [[ -f "$stamp" && "$(cat "$stamp")" == "$wanted" ]]; then
  exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
if ! dpkg --print-foreign-architectures | grep -qx mipsel; then
  $sudo dpkg --add-architecture mipsel
fi
# A package list that predates the architecture has no mipsel candidates.
if ! apt-cache show libjsoncpp-dev:mipsel >/dev/null 2>&1; then
  $sudo apt-get update -qq
fi

rm -rf "$sysroot"
mkdir -p "$sysroot/debs"
# apt drops to the _apt user to download, which cannot write into a folder of root's.
apt_opts=()
if [[ $(id -u) -eq 0 ]]; then apt_opts=(-o APT::Sandbox::User=root); fi
(cd "$sysroot/debs" && apt-get "${apt_opts[@]}" download -qq $(printf '%s:mipsel ' "${packages[@]}") "${all_packages[@]}")
for deb in "$sysroot"/debs/*.deb; do
  dpkg-deb -x "$deb" "$sysroot"
  dpkg-deb --info "$deb" shlibs >>"$sysroot/shlibs" 2>/dev/null || true
done
# Of usr/share only what CMake and pkg-config read (CLI11 keeps its files there).
find "$sysroot/usr/share" -mindepth 1 -maxdepth 1 ! -name cmake ! -name pkgconfig -exec rm -rf {} +
rm -rf "$sysroot/debs"
printf '%s\n' "$wanted" >"$stamp"
echo "mipsel sysroot ready: $sysroot"
