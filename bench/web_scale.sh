#!/usr/bin/env bash
# One vimohost polling many UPSes once a second through PORTS simulator ports (each a
# line of its own, with its thread), with the status page, API and metrics on; reports
# whether every device completes a round every interval, vimohost's CPU and memory,
# /metrics' time and size (text and gzip) and one device's page load.
#   bench/web_scale.sh [DEVICES] [SECONDS] [BUILD_DIR] [PORTS]  (default 100 60 build 1)
# Goals on the development machine at 1,000 UPSes: every device a round a second, CPU
# under 35 % of one core, /metrics under 30 ms and 10 KB gzipped per UPS, RSS under
# 300 MB; the page with all its requests under 1 s.
set -euo pipefail
devices=${1:-100}
seconds=${2:-60}
build=${3:-build}
ports=${4:-1}
work=$(mktemp -d)
pids=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

# Device i is slave i / PORTS + 1 on simulator port i % PORTS: a port answers at most
# 247 slave addresses.
sims=()
slaves=$(( devices / ports + 1 ))
(( slaves <= 247 )) || { echo "web_scale: $devices devices need at least $(( devices / 247 + 1 )) ports" >&2; exit 2; }
for p in $(seq 0 $((ports - 1))); do
  "$build/novexups-sim" --tcp 0 --slaves "1-$slaves" --scenario normal \
    >"$work/sim$p.out" 2>/dev/null &
  pids+=($!)
done
for p in $(seq 0 $((ports - 1))); do
  for _ in $(seq 300); do grep -q '^ready tcp ' "$work/sim$p.out" 2>/dev/null && break; sleep 0.1; done
  sims+=("$(sed -n 's/^ready tcp //p' "$work/sim$p.out")")
  [[ -n ${sims[$p]} ]] || { echo "web_scale: simulator $p did not start" >&2; exit 1; }
done

{
  echo '{"devices": ['
  for i in $(seq "$devices"); do
    sep=$([[ $i -lt $devices ]] && echo , || true)
    echo "{\"name\": \"ups$i\", \"data_id\": $i, \"transport\": \"tcp\", \"port\": \"${sims[$((i % ports))]}\", \"slave\": $((i / ports + 1)), \"interval_ms\": 1000}$sep"
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
# The same for a scraper that takes gzip, as Prometheus does.
fetch_gzip() { curl -s -o /dev/null -H 'Accept-Encoding: gzip' -w "%{time_total}\n" "${url}metrics"; }

sleep 5  # connections made, every device past its first round
before=$(rounds)
ticks_before=$(cpu_ticks)
start=$(date +%s.%N)

# Scrape and page loads while polling goes on, as Prometheus and a person would.
metrics_times=()
metrics_first=()
metrics_gzip=()
page_times=()
while (($(date +%s) < ${start%.*} + seconds)); do
  metrics_times+=("$(fetch metrics)")
  metrics_first+=("$(fetch metrics starttransfer)")
  metrics_gzip+=("$(fetch_gzip)")
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
gzip_bytes=$(curl -s -H 'Accept-Encoding: gzip' "${url}metrics" | wc -c)
echo "/metrics gzip: whole answer median $(median "${metrics_gzip[@]}" | xargs printf '%.4f') s, highest $(highest "${metrics_gzip[@]}" | xargs printf '%.4f') s; $gzip_bytes bytes, $((gzip_bytes / devices)) per UPS"
echo "page for one device (6 requests in a row): median $(median "${page_times[@]}" | xargs printf '%.4f') s, highest $(highest "${page_times[@]}" | xargs printf '%.4f') s"
grep -E 'VmRSS|VmHWM' "/proc/$host/status" | tr -s ' \t' ' '
