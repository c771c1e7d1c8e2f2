#!/usr/bin/env bash
# What MQTT costs vimohost: one vimohost polling DEVICES simulated UPSes once a second
# (PORTS simulator ports, each a line with its thread; scenario on-battery, so every
# round changes every state), first without MQTT, then publishing every state to a
# mosquitto started here on loopback. Reports vimohost's CPU in both runs and their
# ratio, the broker's CPU, and the bytes the broker received per UPS per second.
#   bench/mqtt_scale.sh [DEVICES] [SECONDS] [BUILD_DIR] [PORTS]  (default 1000 30 build 5)
# Goal: at 1,000 UPSes, MQTT adds at most 10 % to vimohost's CPU.
set -euo pipefail
devices=${1:-1000}
seconds=${2:-30}
build=${3:-build}
ports=${4:-5}
work=$(mktemp -d)
pids=()
finish() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
broker_port=$(free_port)
printf 'user %s\nlistener %s 127.0.0.1\nallow_anonymous true\npersistence false\nsys_interval 1\n' \
  "$(id -un)" "$broker_port" >"$work/mosquitto.conf"
/usr/sbin/mosquitto -c "$work/mosquitto.conf" 2>"$work/broker.log" &
broker=$!
pids+=("$broker")

slaves=$(( devices / ports + 1 ))
(( slaves <= 247 )) || { echo "mqtt_scale: $devices devices need at least $(( devices / 247 + 1 )) ports" >&2; exit 2; }
sims=()
for p in $(seq 0 $((ports - 1))); do
  "$build/novexups-sim" --tcp 0 --slaves "1-$slaves" --scenario on-battery >"$work/sim$p.out" 2>/dev/null &
  pids+=($!)
done
for p in $(seq 0 $((ports - 1))); do
  for _ in $(seq 300); do grep -q '^ready tcp ' "$work/sim$p.out" 2>/dev/null && break; sleep 0.1; done
  sims+=("$(sed -n 's/^ready tcp //p' "$work/sim$p.out")")
  [[ -n ${sims[$p]} ]] || { echo "mqtt_scale: simulator $p did not start" >&2; exit 1; }
done

# The configuration, with the "mqtt" section given as $1 (or none).
config() {
  echo '{"devices": ['
  for i in $(seq "$devices"); do
    sep=$([[ $i -lt $devices ]] && echo , || true)
    echo "{\"name\": \"ups$i\", \"data_id\": $i, \"transport\": \"tcp\", \"port\": \"${sims[$((i % ports))]}\", \"slave\": $((i / ports + 1)), \"interval_ms\": 1000}$sep"
  done
  echo "]${1:+, \"mqtt\": $1}}"
}
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
received() {
  /usr/bin/mosquitto_sub -p "$broker_port" -t '$SYS/broker/bytes/received' -C 1 -W 5 2>/dev/null || echo 0
}
hz=$(getconf CLK_TCK)

# Runs vimohost for the measured time; sets cpu (% of one core), broker_cpu, bytes.
run() {
  config "$1" >"$work/ups.json"
  "$build/vimohost" --config "$work/ups.json" --no-history >/dev/null 2>"$work/vimohost.err" &
  local host=$!
  pids+=("$host")
  sleep 8  # connections made, every device past its first rounds, discovery sent
  local t0 b0 r0 start end
  t0=$(ticks "$host"); b0=$(ticks "$broker"); r0=$(received); start=$(date +%s.%N)
  sleep "$seconds"
  end=$(date +%s.%N)
  local elapsed
  elapsed=$(echo "$end - $start" | bc -l)
  cpu=$(echo "100 * ($(ticks "$host") - $t0) / $hz / $elapsed" | bc -l)
  broker_cpu=$(echo "100 * ($(ticks "$broker") - $b0) / $hz / $elapsed" | bc -l)
  bytes=$(echo "($(received) - $r0) / $elapsed / $devices" | bc -l)
  kill "$host"; wait "$host" 2>/dev/null || true
}

run ""
plain=$cpu
run "{\"url\": \"mqtt://127.0.0.1:$broker_port\", \"prefix\": \"bench/vimohost\", \"state_interval_s\": 1}"
with=$cpu
echo "devices: $devices, $seconds s each run"
printf 'vimohost CPU without MQTT: %.1f %% of one core; with MQTT: %.1f %%; ratio %.3f\n' "$plain" "$with" \
  "$(echo "$with / $plain" | bc -l)"
printf 'broker CPU: %.1f %% of one core\n' "$broker_cpu"
printf 'bytes received by the broker: %.0f per UPS per second\n' "$bytes"
grep -c 'MQTT' "$work/vimohost.err" | xargs printf 'MQTT lines in the log: %s\n'
