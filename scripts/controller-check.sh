#!/usr/bin/env bash
# Checks that the plug-in builds with a controller's SDK as an integrator would build it
# (docs/controller.md), with Debian's mipsel cross compiler standing in for the SDK:
#   1. the compiler reached through a folder of symbolic links named like another
#      vendor's tool chain, and a sysroot at another path that holds only jsoncpp, Boost's
#      headers and the C/C++ run-time: `cmake --preset controller` configures, builds
#      (GoogleTest from its sources) and passes the plug-in's tests under qemu, the
#      stripped, shipped plug-in included;
#   2. the same tool chain and sysroot given by environment variables configure too;
#      the plug-in's code is the mipsel preset's, section by section;
#   3. the ABI report passes the limits of an older controller, and a limit below the
#      real figure fails the build with one line naming the symbol that needs it;
#   4. eu-unstrip (and gdb, when installed) find the debug file by build id alone;
#   5. the reports of the native and mipsel builds, and the mipsel package's plug-in and
#      debug file, when those have been built (CI builds them first).
#   scripts/controller-check.sh [WORK_DIR]     default WORK_DIR: build-controller-check/
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=${1:-$root/build-controller-check}
debian_prefix=mipsel-linux-gnu-
vendor_prefix=mipsel-openwrt-linux-gnu-
runtime=/usr/mipsel-linux-gnu
debian_sysroot=$root/build-mipsel-sysroot
# The limits of an older controller (Debian 10's glibc and libstdc++) that the plug-in meets.
limits=(-DNOVEX_MAX_GLIBC=2.28 -DNOVEX_MAX_GLIBCXX=3.4.25 -DNOVEX_CXX11_ABI=1)
step() { echo "== controller-check: $*"; }
fail() { echo "controller-check: $*" >&2; exit 1; }

bash scripts/install-deps.sh --cross
bash scripts/mipsel-sysroot.sh >/dev/null
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

step "an SDK made of other names and another path"
rm -rf "$work/sdk"
mkdir -p "$work/sdk/bin" "$work/sdk/sysroot/usr/include" "$work/sdk/sysroot/usr/lib"
for tool in /usr/bin/${debian_prefix}*; do
  name=$(basename "$tool")
  ln -s "$tool" "$work/sdk/bin/${vendor_prefix}${name#"$debian_prefix"}"
done
sysroot=$work/sdk/sysroot
# Hard links where the file system allows: Boost's headers are large.
copy() { cp -al "$1" "$2" 2>/dev/null || cp -a "$1" "$2"; }
copy "$debian_sysroot/usr/include/jsoncpp" "$sysroot/usr/include/"
copy "$debian_sysroot/usr/include/boost" "$sysroot/usr/include/"
mkdir -p "$sysroot/usr/lib/mipsel-linux-gnu/cmake" "$sysroot/usr/lib/mipsel-linux-gnu/pkgconfig"
for lib in "$debian_sysroot"/usr/lib/mipsel-linux-gnu/libjsoncpp.so*; do
  copy "$lib" "$sysroot/usr/lib/mipsel-linux-gnu/"
done
# The libraries' own CMake packages, as an SDK's staging folder carries them.
for package in jsoncpp Boost-1.74.0 boost_headers-1.74.0 BoostDetectToolset-1.74.0.cmake; do
  copy "$debian_sysroot/usr/lib/mipsel-linux-gnu/cmake/$package" "$sysroot/usr/lib/mipsel-linux-gnu/cmake/"
done
copy "$debian_sysroot/usr/lib/mipsel-linux-gnu/pkgconfig/jsoncpp.pc" "$sysroot/usr/lib/mipsel-linux-gnu/pkgconfig/"
copy "$runtime/lib" "$sysroot/"
for forbidden in sqlite3.h civetweb.h modbus gtest CLI; do
  if [[ -n "$(find "$sysroot" -name "$forbidden*" -print -quit)" ]]; then fail "the sysroot holds $forbidden"; fi
done

step "configure, build and test the controller preset"
build=$work/plugin
rm -rf "$build"
cmake --preset controller -B "$build" -DNOVEX_CROSS_PREFIX="$work/sdk/bin/$vendor_prefix" \
  -DCMAKE_SYSROOT="$sysroot" "${limits[@]}" "${launcher[@]}" >"$work/configure.log" ||
  { cat "$work/configure.log"; fail "configure failed"; }
grep -q "^set(CMAKE_CXX_COMPILER \".*/$vendor_prefix" "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake ||
  fail "the compiler is not the vendor-named one"
cmake --build "$build" -j2 >"$work/build.log" || { tail -n 30 "$work/build.log"; fail "build failed"; }
# document_text_test alone takes a minute under qemu; the mipsel preset runs it.
ctest --test-dir "$build" -L plugin -E document_text_test -j2 --output-on-failure
tests=$(ctest --test-dir "$build" -N)  # whole, so grep -q cannot cut the pipe (pipefail)
grep -q plugin_load_shipped_test <<<"$tests" || fail "the shipped plug-in was not tested"

step "the same SDK given by the environment an SDK's setup script leaves"
rm -rf "$work/env"
CROSS_COMPILE="$work/sdk/bin/$vendor_prefix" SDKTARGETSYSROOT="$sysroot" \
  cmake --preset controller -B "$work/env" >"$work/env.log" || { cat "$work/env.log"; fail "configure failed"; }
grep -qx "CMAKE_SYSROOT:STRING=$sysroot" "$work/env/CMakeCache.txt" || fail "SDKTARGETSYSROOT was not taken"
grep -qx "NOVEX_CROSS_PREFIX:STRING=$work/sdk/bin/$vendor_prefix" "$work/env/CMakeCache.txt" ||
  fail "CROSS_COMPILE was not taken"

step "the same plug-in as the mipsel preset's"
reference=$root/build-mipsel
if [[ ! -f "$reference/novexups.so" ]]; then
  cmake --preset mipsel "${launcher[@]}" >/dev/null
  cmake --build --preset mipsel -j2 --target novexups_shipped >/dev/null
fi
objcopy=${debian_prefix}objcopy
for section in .text .rodata .data.rel.ro .dynsym; do
  "$objcopy" -O binary --only-section="$section" "$reference/novexups.so" "$work/reference$section"
  "$objcopy" -O binary --only-section="$section" "$build/novexups.so" "$work/sdk$section"
  if ! cmp -s "$work/reference$section" "$work/sdk$section"; then
    fail "$section differs from the mipsel preset's plug-in"
  fi
  echo "$section: identical ($(stat -c %s "$work/sdk$section") bytes)"
done

step "ABI report and limits"
cat "$build/shipped/novexups.abi.txt"
cmake "$build" -DNOVEX_MAX_GLIBCXX=3.4.20 >/dev/null
if cmake --build "$build" --target novexups_shipped >"$work/limit.log" 2>&1; then
  fail "a GLIBCXX limit below the plug-in's figure did not fail the build"
fi
lines=$(grep -c 'above NOVEX_MAX' "$work/limit.log" || true)
grep 'above NOVEX_MAX' "$work/limit.log"
[[ "$lines" == 1 ]] || fail "expected one line naming the symbol, got $lines"
grep -q 'needs GLIBCXX_3.4.21 of libstdc++.so.6 for std::' "$work/limit.log" || fail "the line names no symbol"
cmake "$build" "${limits[@]}" >/dev/null
cmake --build "$build" --target novexups_shipped >/dev/null

step "the debug file found by build id"
shipped=$build/shipped
lone=$work/lone
rm -rf "$lone" && mkdir -p "$lone"
cp "$shipped/novexups.so" "$lone/"  # no debug file beside it: only the build id leads there
found=$(eu-unstrip -n -e "$lone/novexups.so" --debuginfo-path="$shipped/debug" | awk '{ print $4 }')
echo "eu-unstrip: $found"
[[ "$found" == "$shipped/debug/.build-id/"*.debug ]] || fail "eu-unstrip did not find the debug file by build id"
gdb=$(command -v gdb-multiarch || true)
if [[ -n "$gdb" ]]; then
  where=$("$gdb" -nx -batch -ex "set debug-file-directory $shipped/debug" -ex "file $lone/novexups.so" \
          -ex "info line get_providers" 2>&1 | grep -m1 'Line [0-9]* of' || true)
  echo "gdb: $where"
  [[ "$where" == *novexups_plugin.cpp* ]] || fail "gdb did not find the debug file by build id"
fi

step "reports of the other builds"
for other in build build-mipsel; do
  if [[ -f "$other/shipped/novexups.abi.txt" ]]; then cat "$other/shipped/novexups.abi.txt"; fi
done
deb=$(ls build-mipsel/package/vimohost_*_mipsel.deb 2>/dev/null | head -n1 || true)
if [[ -n "$deb" ]]; then
  contents=$(dpkg-deb -c "$deb")
  grep -q '/plugins/novexups.so$' <<<"$contents" || fail "$deb has no plug-in"
  grep -qE '/usr/lib/debug/\.build-id/[0-9a-f]{2}/[0-9a-f]+\.debug$' <<<"$contents" || fail "$deb has no debug file"
  echo "$deb: plug-in and its debug file"
fi
echo "controller-check: passed"
