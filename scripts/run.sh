#!/usr/bin/env bash
# Installs what is missing, builds what the demo needs, and polls the built-in UPS
# simulator through the plug-in: status, alarms and history as a user sees them. The
# simulated UPS ("outage") runs on mains, loses it after ten rounds, runs on battery
# until the charge is low and recharges once mains is back, so alarms are raised and
# cleared and the page's plot and event list have something to show. The status page,
# API and metrics are served on loopback at the address vimohost prints ("status page
# on http://127.0.0.1:PORT/"), said again when the demo ends; the demo stops after five
# minutes (300 rounds) or at Ctrl-C.
# With arguments, they replace the demo's and go to vimohost (for example
# --serial /dev/ttyUSB0, or --simulate --scenario normal --listen 127.0.0.1:8080 to poll
# until Ctrl-C).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target novexups vimohost novexups-sim
if (($#)); then
  exec build/vimohost "$@"
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Ctrl-C reaches vimohost, which stops; this script and the tee that keeps vimohost's
# messages ignore it, so the last of them still show and the script says where things are.
trap ':' INT TERM
status=0
build/vimohost --simulate --scenario outage --rounds 300 --interval-ms 1000 \
  --history build/demo-history.db --listen 127.0.0.1:0 --log-level info \
  2> >(trap '' INT TERM; exec tee "$log" >&2) || status=$?
page=$(grep -o 'status page on http://[^ ]*' "$log" | head -n 1 | cut -d' ' -f4 || true)
cat >&2 <<END

The demo has ended${page:+; its status page was ${page}}.
Its rounds and alarm events are in build/demo-history.db:
  build/vimohost history events --since 1d --history build/demo-history.db
To see the page again while a simulated UPS is polled (until Ctrl-C):
  bash scripts/run.sh --simulate --scenario outage --history build/demo-history.db --listen 127.0.0.1:8080
and open http://127.0.0.1:8080/
END
exit "$status"
