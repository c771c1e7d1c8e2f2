#!/usr/bin/env bash
# Installs what is missing, builds, and polls the built-in UPS simulator through the
# plug-in: status, alarms and history as a user sees them. The simulated UPS runs on
# battery, so alarms are raised at once and as its charge falls. The status page, API
# and metrics are served on loopback at the address vimohost prints ("status page on
# http://127.0.0.1:PORT/"); the demo stops after five minutes (300 rounds) or at Ctrl-C.
# With arguments, they replace the demo's and go to vimohost (for example
# --serial /dev/ttyUSB0, or --simulate --scenario normal --listen 127.0.0.1:8080 to poll
# until Ctrl-C).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
if (($#)); then
  exec build/vimohost "$@"
fi
exec build/vimohost --simulate --scenario on-battery --rounds 300 --interval-ms 1000 \
  --history build/demo-history.db --listen 127.0.0.1:0 --log-level info
