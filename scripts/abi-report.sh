#!/usr/bin/env bash
# What a built plug-in asks of the controller that loads it (docs/controller.md):
#   scripts/abi-report.sh [-o FILE] PLUGIN
# prints the needed libraries, the highest symbol version it needs of each library
# family (GLIBC, GLIBCXX, CXXABI, GCC) and a symbol that needs it, the C++ string ABI,
# the jsoncpp and Boost versions compiled in, the exported symbols, RUNPATH/RPATH, the
# build id and whether it is stripped. Limits come from the environment:
#   NOVEX_MAX_GLIBC=2.28  NOVEX_MAX_GLIBCXX=3.4.25  NOVEX_MAX_CXXABI=1.3.11
#   NOVEX_MAX_GCC=4.2.0   NOVEX_CXX11_ABI=0|1
# Each limit exceeded is one line on standard error naming the symbol that needs more,
# and the exit status is 1; so is an exported symbol other than get_providers. With -o
# the report goes to FILE, written only when every check passes (the build's step).
# Only readelf and c++filt are used: both read any target's files.
set -euo pipefail
out=""
if [[ "${1:-}" == -o ]]; then out=$2; shift 2; fi
if [[ $# -ne 1 || ! -f "$1" ]]; then
  echo "usage: abi-report.sh [-o FILE] PLUGIN" >&2
  exit 2
fi
plugin=$1
name=$(basename "$plugin")
if ! header=$(LC_ALL=C readelf -h "$plugin" 2>/dev/null); then
  echo "abi-report: $plugin is no ELF file" >&2
  exit 2
fi

# Columns: version family | limit variable | example.
limits=(
  "GLIBC|NOVEX_MAX_GLIBC|2.28"
  "GLIBCXX|NOVEX_MAX_GLIBCXX|3.4.25"
  "CXXABI|NOVEX_MAX_CXXABI|1.3.11"
  "GCC|NOVEX_MAX_GCC|4.2.0"
)
exports_allowed="get_providers"

dynamic=$(LC_ALL=C readelf -dW "$plugin")
# "   5: 00000000     0 FUNC    GLOBAL DEFAULT  UND memcpy@GLIBC_2.2 (2)"
symbols=$(LC_ALL=C readelf --dyn-syms -W "$plugin" | awk 'NF >= 8 && $1 ~ /^[0-9]+:$/')
imports=$(awk '$7 == "UND" && $8 != "" { print $8 }' <<<"$symbols")
exports=$(awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") { sub(/@.*/, "", $8); print $8 }' <<<"$symbols" | sort -u)
# "  0x0010:   Name: GLIBC_2.2  Flags: none  Version: 2" under "  000000: Version: 1  File: libc.so.6  Cnt: 3"
version_needs=$(LC_ALL=C readelf -VW "$plugin" | awk '
  /File: / { for (i = 1; i <= NF; i++) if ($i == "File:") file = $(i + 1) }
  /Name: / && file != "" { for (i = 1; i <= NF; i++) if ($i == "Name:") print file, $(i + 1) }')
build_section() {  # the value of "$1 value" in .novex.build (plugin/build_info.cpp)
  local value
  value=$(LC_ALL=C readelf -p .novex.build "$plugin" 2>/dev/null |
          sed -n "s/^ *\[ *[0-9a-f]*\] *$1 //p" | head -n1)
  echo "${value:-unknown}"
}

# The highest version of each family that the plug-in needs of each library, and one
# symbol that needs it: "libc.so.6 GLIBC 2.32 __libc_single_threaded".
needs_table=$(
  for lib in $(awk '{ print $1 }' <<<"$version_needs" | sort -u); do
    for row in "${limits[@]}"; do
      family=${row%%|*}
      top=$(awk -v l="$lib" -v f="$family" '$1 == l && index($2, f "_") == 1 { print substr($2, length(f) + 2) }' <<<"$version_needs" |
            grep -E '^[0-9]+(\.[0-9]+)*$' | sort -V | tail -n1 || true)
      [[ -z "$top" ]] && continue
      symbol=$(grep -E "@${family}_${top//./\\.}$" <<<"$imports" | head -n1 | sed 's/@.*//')
      echo "$lib $family $top ${symbol:--}"
    done
  done)
abi_compiled=$(build_section cxx11_abi)
demangled_imports=$(sed 's/@.*//' <<<"$imports" | c++filt)
new_abi=$(grep -c 'std::__cxx11::' <<<"$demangled_imports" || true)
old_abi=$(grep -v '__cxx11' <<<"$demangled_imports" | grep -cE 'std::(basic_string|string)\b' || true)
runpath=$(sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p' <<<"$dynamic")
rpath=$(sed -n 's/.*(RPATH).*\[\(.*\)\]/\1/p' <<<"$dynamic")
build_id=$(LC_ALL=C readelf -nW "$plugin" | sed -n 's/.*Build ID: *//p' | head -n1)
sections=$(LC_ALL=C readelf -SW "$plugin")
debuglink=$(LC_ALL=C readelf -p .gnu_debuglink "$plugin" 2>/dev/null | sed -n 's/^ *\[ *0\] *//p' | head -n1)

report() {
  echo "plug-in:     $plugin ($(sed -n 's/^ *Class: *//p' <<<"$header"), $(sed -n 's/^ *Machine: *//p' <<<"$header"))"
  echo "needs:       $(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic" | paste -sd' ')"
  echo "versions:    the highest of each family per library, and a symbol that needs it"
  while read -r lib family top symbol; do
    [[ -z "$lib" ]] && continue
    if [[ "$symbol" == - ]]; then symbol="(no symbol of its own: a version the library's others need)"; else symbol=$(c++filt "$symbol"); fi
    printf '  %-18s %-16s %s\n' "$lib" "${family}_$top" "$symbol"
  done <<<"$needs_table"
  echo "c++ string:  _GLIBCXX_USE_CXX11_ABI=$abi_compiled at compile time; imports $new_abi symbols of the new std::string ABI (std::__cxx11), $old_abi of the old"
  echo "jsoncpp:     $(build_section jsoncpp) (compiled in)"
  echo "boost:       $(build_section boost) (compiled in, header-only)"
  echo "compiler:    $(build_section compiler)"
  echo "exports:     $(paste -sd' ' <<<"$exports")"
  echo "runpath:     ${runpath:-none}"
  echo "rpath:       ${rpath:-none}"
  echo "build id:    ${build_id:-none}"
  if grep -qE ' \.(symtab|debug_info) ' <<<"$sections"; then
    echo "stripped:    no"
  else
    echo "stripped:    yes${debuglink:+, debug file $debuglink}"
  fi
}

# One line per failed check, naming what needs more than the limit allows.
failures=$(
  for row in "${limits[@]}"; do
    IFS='|' read -r family variable _ <<<"$row"
    limit=${!variable:-}
    [[ -z "$limit" ]] && continue
    while read -r lib fam top symbol; do
      [[ "$fam" != "$family" ]] && continue
      if [[ "$(printf '%s\n%s\n' "$limit" "$top" | sort -V | tail -n1)" != "$limit" ]]; then
        what="needs ${family}_$top of $lib"
        [[ "$symbol" != - ]] && what="$what for $(c++filt "$symbol")"
        echo "$name: $what, above $variable=$limit"
      fi
    done <<<"$needs_table"
  done
  if [[ -n "${NOVEX_CXX11_ABI:-}" ]]; then
    case "$NOVEX_CXX11_ABI" in
      0) wrong=$(grep -m1 'std::__cxx11::' <<<"$demangled_imports" || true) ;;
      1) wrong=$(grep -v '__cxx11' <<<"$demangled_imports" | grep -m1 -E 'std::(basic_string|string)\b' || true) ;;
      *) echo "$name: NOVEX_CXX11_ABI must be 0 or 1, not $NOVEX_CXX11_ABI"; wrong="" ;;
    esac
    if [[ -n "$wrong" ]]; then
      echo "$name: uses the other std::string ABI than NOVEX_CXX11_ABI=$NOVEX_CXX11_ABI, e.g. $wrong"
    elif [[ "$abi_compiled" =~ ^[01]$ && "$abi_compiled" != "$NOVEX_CXX11_ABI" && "$NOVEX_CXX11_ABI" =~ ^[01]$ ]]; then
      echo "$name: compiled with _GLIBCXX_USE_CXX11_ABI=$abi_compiled, the controller has $NOVEX_CXX11_ABI"
    fi
  fi
  for symbol in $exports; do
    if ! grep -qxF "$symbol" <<<"$exports_allowed"; then
      echo "$name: exports $(c++filt "$symbol") besides $exports_allowed"
    fi
  done
)

if [[ -z "$out" ]]; then
  report
elif [[ -z "$failures" ]]; then
  report >"$out.tmp"
  mv "$out.tmp" "$out"
fi
if [[ -n "$failures" ]]; then
  echo "$failures" >&2
  exit 1
fi
