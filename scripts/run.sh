#!/usr/bin/env bash
# Installs what is missing, builds, and polls the built-in UPS simulator through the
# plug-in: status, alarms and history as a user sees them. Extra arguments go to
# vimohost (for example --rounds 5, or --tcp HOST:PORT instead of the simulator).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
if (($#)); then
  exec build/vimohost "$@"
fi
exec build/vimohost --simulate --rounds 5 --interval-ms 1000
