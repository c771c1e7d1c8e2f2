#!/usr/bin/env bash
# Builds the Debian package vimohost_<version>_<arch>.deb with CPack from a preset's build:
#   scripts/package.sh [default|mipsel]      (default: default)
# The package lands in the build folder's package/ and its path is the last line printed.
# A native package takes its Depends from dpkg-shlibdeps. The mipsel one takes them from
# the shlibs files of the packages that provide its libraries: the mipsel packages of the
# sysroot (scripts/mipsel-sysroot.sh keeps their shlibs) and the cross compiler's runtime
# packages, whose shlibs name the target's own (libc6:mipsel, ...).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
case "$preset" in
  default) build=build ;;
  mipsel) build=build-mipsel ;;
  *) echo "package.sh: no package for the preset $preset" >&2; exit 2 ;;
esac

cmake --preset "$preset" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build --preset "$preset" -j"$(nproc)" >/dev/null
rm -rf "$build/package/_CPack_Packages" "$build"/package/*.deb

cpack_args=(-G DEB)
if [[ "$preset" == mipsel ]]; then
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' EXIT
  DESTDIR="$stage" cmake --install "$build" >/dev/null
  # "libjsoncpp.so.25" -> "libjsoncpp 25", the first two words of a shlibs line.
  needed=$(find "$stage" -type f \( -path '*/bin/*' -o -name '*.so' \) -exec readelf -d {} + |
           sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u | grep -vx 'libvimohost.so' |
           sed 's/^\(.*\)\.so\.\(.*\)$/\1 \2/')
  shlibs=$(cat build-mipsel-sysroot/shlibs /var/lib/dpkg/info/*-mipsel-cross.shlibs 2>/dev/null |
           grep -v '^udeb:' | sed 's/:mipsel//g')
  depends=""
  while read -r name version; do
    dep=$(awk -v n="$name" -v v="$version" '$1 == n && $2 == v { $1 = ""; $2 = ""; sub(/^ +/, ""); print; exit }' <<<"$shlibs")
    if [[ -z "$dep" ]]; then
      echo "package.sh: no shlibs entry names the package of $name.so.$version" >&2
      exit 1
    fi
    depends+="${depends:+, }$dep"
  done <<<"$needed"
  depends=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//' | sort -u | paste -sd, | sed 's/,/, /g')
  cpack_args+=(-D "CPACK_DEBIAN_PACKAGE_DEPENDS=adduser, init-system-helpers (>= 1.54~), $depends")
fi
(cd "$build" && cpack "${cpack_args[@]}" >/dev/null)
ls "$PWD/$build"/package/vimohost_*.deb
