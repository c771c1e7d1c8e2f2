#!/usr/bin/env bash
# Installs what is missing, builds, and polls the built-in UPS simulator through the
# plug-in: status, alarms and history as a user sees them. The simulated UPS runs on
# battery, so alarms are raised at once and as its charge falls. With arguments, they replace the demo's and go to vimohost (for example
# --serial /dev/ttyUSB0, or --simulate --scenario normal --rounds 3).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
if (($#)); then
  exec build/vimohost "$@"
fi
exec build/vimohost --simulate --scenario on-battery --rounds 6 --interval-ms 1000 \
  --history build/demo-history.db
