#!/usr/bin/env bash
# scripts/abi-report.sh against the built plug-in and runtime library: each row sets
# limits, and names the exit status and the failure lines expected (a pattern every
# line on standard error must match, and how many there are).
#   abi_report_test.sh SOURCE_DIR PLUGIN RUNTIME_LIBRARY
set -uo pipefail
report=$1/scripts/abi-report.sh
plugin=$2
runtime=$3
failed=0
errfile=$(mktemp)
trap 'rm -f "$errfile"' EXIT

# Columns: file | environment | exit status | failure lines | pattern of each line.
rows=(
  "$plugin||0|0|"
  "$plugin|NOVEX_MAX_GLIBC=99 NOVEX_MAX_GLIBCXX=99 NOVEX_MAX_CXXABI=99 NOVEX_MAX_GCC=99|0|0|"
  "$plugin|NOVEX_MAX_GLIBC=2.0|1|1|needs GLIBC_[0-9.]+ of libc\.so\.6 for [^ ]+, above NOVEX_MAX_GLIBC=2\.0$"
  "$plugin|NOVEX_MAX_GLIBCXX=3.4|1|1|needs GLIBCXX_3\.4\.[0-9]+ of libstdc\+\+\.so\.6 for .+, above NOVEX_MAX_GLIBCXX=3\.4$"
  "$plugin|NOVEX_MAX_GLIBC=2.0 NOVEX_MAX_CXXABI=1.3|1|2|above NOVEX_MAX_(GLIBC|CXXABI)="
  "$plugin|NOVEX_CXX11_ABI=0|1|1|other std::string ABI than NOVEX_CXX11_ABI=0, e\.g\. .*std::__cxx11::"
  "$plugin|NOVEX_CXX11_ABI=1|0|0|"
  "$plugin|NOVEX_CXX11_ABI=yes|1|1|NOVEX_CXX11_ABI must be 0 or 1"
  "$runtime||1|[1-9][0-9]*|exports .+ besides get_providers$"
  "$1/README.md||2|1|is no ELF file$"
)
for row in "${rows[@]}"; do
  IFS='|' read -r file env want_status want_lines pattern <<<"$row"
  stdout=$(env $env bash "$report" "$file" 2>"$errfile")
  status=$?
  errors=$(cat "$errfile")
  lines=$(grep -c . <<<"$errors")
  problem=""
  if [[ "$status" != "$want_status" ]]; then problem="exit $status, expected $want_status"; fi
  if ! [[ "$lines" =~ ^($want_lines)$ ]]; then problem+=" $lines failure lines, expected $want_lines"; fi
  if [[ -n "$pattern" ]] && grep -vqE "$pattern" <<<"$errors"; then problem+=" a line does not match /$pattern/"; fi
  if [[ "$status" == 0 ]] && ! grep -q '^exports: *get_providers$' <<<"$stdout"; then
    problem+=" the report lacks its exports line"
  fi
  if [[ -n "$problem" ]]; then
    echo "FAIL [$(basename "$file") $env]:$problem"
    echo "$errors"
    failed=1
  fi
done
exit $failed
