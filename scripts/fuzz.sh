#!/usr/bin/env bash
# Builds the fuzz preset (build-fuzz/) and fuzzes each target for a bounded time, as many
# at once as there are cores. Fails on any finding: a crash, a broken property, a
# sanitizer report, a leak, a timeout or running out of memory. The input that did it is
# kept in build-fuzz/findings/ (add it to fuzz/corpus/TARGET/ once mended, see README).
#   scripts/fuzz.sh [SECONDS] [TARGET...]   SECONDS per target (default 10), all targets
#                                           (the directories of fuzz/corpus/) by default
# What each run finds worth keeping grows build-fuzz/corpus/TARGET/, which later runs
# start from; the checked-in seeds under fuzz/corpus/ are only read.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --fuzz
seconds=${1:-10}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
findings=build-fuzz/findings
mkdir -p "$findings"

# One target: its log in build-fuzz/fuzz-TARGET.log, its verdict (a line) in
# build-fuzz/fuzz-TARGET.verdict.
fuzz_one() {
  local target=$1 corpus=build-fuzz/corpus/$1 log=build-fuzz/fuzz-$1.log
  local verdict=build-fuzz/fuzz-$1.verdict dict=()
  mkdir -p "$corpus"
  if [[ -f fuzz/$target.dict ]]; then dict=(-dict="fuzz/$target.dict"); fi
  if build-fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -max_len=4096 -print_final_stats=1 -artifact_prefix="$findings/$target-" "${dict[@]}" \
       "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    # "#N DONE cov: C ft: F corp: ..." is libFuzzer's last status line.
    local done_line
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
    echo "fuzz $target: ok ${done_line:-(no status line)}" >"$verdict"
  else
    { echo "fuzz $target: FINDING (log: $log, input: $findings/$target-*)"
      grep -E 'ERROR|SUMMARY|fuzz property broken|runtime error' "$log" | head -n 5 || true
    } >"$verdict"
  fi
}

# A fuzzer keeps one core busy: as many targets at once as there are cores.
rm -f build-fuzz/fuzz-*.verdict
running=0
for target in "${targets[@]}"; do
  if ((running >= $(nproc))); then wait -n || true; running=$((running - 1)); fi
  fuzz_one "$target" &
  running=$((running + 1))
done
wait

failed=()
for target in "${targets[@]}"; do
  cat "build-fuzz/fuzz-$target.verdict"
  grep -q ': ok' "build-fuzz/fuzz-$target.verdict" || failed+=("$target")
done
if ((${#failed[@]})); then
  echo "fuzz: findings in ${failed[*]}" >&2
  exit 1
fi
