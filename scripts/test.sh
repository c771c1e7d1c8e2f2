#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite.
#   scripts/test.sh [PRESET...]   presets: default (build/), asan (build-asan/),
#                                 tsan (build-tsan/, by Clang), clang (build-clang/),
#                                 mipsel (build-mipsel/, tests under qemu); default: default
set -euo pipefail
cd "$(dirname "$0")/.."
# CI runs the tests with real Prometheus and Chromium; elsewhere they skip when missing.
if [[ "${CI:-}" == true ]]; then bash scripts/install-deps.sh --peers; else bash scripts/install-deps.sh; fi
presets=("$@")
((${#presets[@]})) || presets=(default)
jobs=$(nproc)
for preset in "${presets[@]}"; do
  echo "== $preset =="
  # The tsan preset is built by Clang, as the clang one is.
  if [[ "$preset" == tsan || "$preset" == clang ]]; then bash scripts/install-deps.sh --fuzz; fi
  if [[ "$preset" == mipsel ]]; then
    bash scripts/install-deps.sh --cross
    bash scripts/mipsel-sysroot.sh
  fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
