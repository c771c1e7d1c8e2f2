#!/usr/bin/env bash
# One vimohost polling many UPSes once a second through one simulator port, with the
# status page, API and metrics on; reports whether every device completes a round
# every interval, vimohost's CPU and memory, /metrics' time and one device's page load.
#   bench/web_scale.sh [DEVICES] [SECONDS] [BUILD_DIR]     (default 100 60 build)
# Goals on the development machine: every device a round a second, CPU under 30 % of
# one core, /metrics under 20 ms, the page with all its requests under 1 s.
set -euo pipefail
devices=${1:-100}
seconds=${2:-60}
build=${3:-build}
work=$(mktemp -d)
pids=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

"$build/novexups-sim" --tcp 0 --slaves "1-$devices" --scenario normal \
  >"$work/sim.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do grep -q '^ready tcp ' "$work/sim.out" && break; sleep 0.1; done
sim=$(sed -n 's/^ready tcp //p' "$work/sim.out")
[[ -n $sim ]] || { echo "web_scale: the simulator did not start" >&2; exit 1; }

{
  echo '{"devices": ['
  for i in $(seq "$devices"); do
    sep=$([[ $i -lt $devices ]] && echo , || true)
    echo "{\"name\": \"ups$i\", \"data_id\": $i, \"transport\": \"tcp\", \"port\": \"$sim\", \"slave\": $i, \"interval_ms\": 1000}$sep"
  done
  echo '], "listen": "127.0.0.1:0"}'
} >"$work/ups.json"

"$build/vimohost" --config "$work/ups.json" --history "$work/history.db" \
  >/dev/null 2>"$work/vimohost.err" &
host=$!
pids+=("$host")
for _ in $(seq 100); do grep -q 'status page on' "$work/vimohost.err" && break; sleep 0.1; done
url=$(grep -o 'http://[^ ]*' "$work/vimohost.err" | head -1)
[[ -n $url ]] || { echo "web_scale: vimohost did not start" >&2; cat "$work/vimohost.err" >&2; exit 1; }

# Completed rounds of every device, one a line, from the API.
rounds() {
  curl -s "${url}api/v1/devices" | grep -o '"completed":[0-9]*' | cut -d: -f2
}
# utime + stime of vimohost in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$host/stat"; }
# Seconds one GET of PATH takes, the whole answer received (with "first": until its
# first byte, which the server sends once the whole answer is rendered).
fetch() { curl -s -o /dev/null -w "%{time_${2:-total}}\n" "${url}$1"; }

sleep 5  # connections made, every device past its first round
before=$(rounds)
ticks_before=$(cpu_ticks)
start=$(date +%s.%N)

# Scrape and page loads while polling goes on, as Prometheus and a person would.
metrics_times=()
metrics_first=()
page_times=()
while (($(date +%s) < ${start%.*} + seconds)); do
  metrics_times+=("$(fetch metrics)")
  metrics_first+=("$(fetch metrics starttransfer)")
  page=0
  for path in "" app.js style.css api/v1/devices api/v1/devices/ups1 \
              "api/v1/devices/ups1/readings?fields=battery_charge&points=240"; do
    page=$(echo "$page + $(fetch "$path")" | bc -l)
  done
  page_times+=("$page")
  sleep 5
done

end=$(date +%s.%N)
ticks_after=$(cpu_ticks)
after=$(rounds)
elapsed=$(echo "$end - $start" | bc -l)
hz=$(getconf CLK_TCK)

per_device=$(paste <(echo "$before") <(echo "$after") | awk '{print $2 - $1}' | sort -n)
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
highest() { printf '%s\n' "$@" | sort -g | tail -1; }

echo "devices: $devices, measured over $(printf '%.1f' "$elapsed") s"
echo "rounds per device: min $(echo "$per_device" | head -1), max $(echo "$per_device" | tail -1) (expected about $(printf '%.0f' "$elapsed"))"
echo "failed rounds (all devices): $(curl -s "${url}api/v1/devices" | grep -o '"failed":[0-9]*' | cut -d: -f2 | paste -sd+ | bc)"
echo "vimohost CPU: $(echo "100 * ($ticks_after - $ticks_before) / $hz / $elapsed" | bc -l | xargs printf '%.1f') % of one core"
echo "/metrics: first byte (rendered) median $(median "${metrics_first[@]}" | xargs printf '%.4f') s, highest $(highest "${metrics_first[@]}" | xargs printf '%.4f') s; whole answer median $(median "${metrics_times[@]}" | xargs printf '%.4f') s, highest $(highest "${metrics_times[@]}" | xargs printf '%.4f') s; $(curl -s "${url}metrics" | wc -c) bytes"
echo "page for one device (6 requests in a row): median $(median "${page_times[@]}" | xargs printf '%.4f') s, highest $(highest "${page_times[@]}" | xargs printf '%.4f') s"
grep -E 'VmRSS|VmHWM' "/proc/$host/status" | tr -s ' \t' ' '
