#!/usr/bin/env bash
# Installs what the project builds and tests with, from Debian's packages. Safe to run
# again: it asks apt only for what is missing. Run as root (or with sudo available).
#   scripts/install-deps.sh          native build, tests, benchmarks, vimohost, simulator,
#                                    the Debian package (manual pages, Depends, lintian,
#                                    systemd-analyze)
#   scripts/install-deps.sh --cross  also the mipsel cross compiler and qemu, GoogleTest's
#                                    sources, eu-unstrip and gdb-multiarch
#   scripts/install-deps.sh --peers  also the real peers the web tests start
#                                    (Prometheus, Alertmanager, headless Chromium and a CJK font for
#                                    its screenshots; large, so CI asks for them) and
#                                    the SNMP tests' snmpd, snmpget/snmpwalk, snmptrapd
#                                    and the UPS tools' snmp-ups driver, and the Modbus
#                                    server tests' clients (pymodbus, mbpoll) and socat,
#                                    and the mDNS test's avahi-daemon, avahi-browse and
#                                    dbus-daemon, and the MQTT tests' broker and clients
#                                    (mosquitto, mosquitto_sub)
#   scripts/install-deps.sh --fuzz   also clang and its libFuzzer and sanitizer run-times
#                                    (the tsan, clang and fuzz presets, scripts/fuzz.sh)
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libjsoncpp-dev libboost-date-time-dev libboost-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libmodbus-dev libsqlite3-dev sqlite3 libzstd-dev
  tzdata
  nut-client
  libcli11-dev
  libcivetweb-dev zlib1g-dev
  libssl-dev libyaml-cpp-dev libcrypt-dev openssl
  libsnmp-dev
  libavahi-client-dev
  libmosquitto-dev
  libcurl4-openssl-dev
  curl bc
  help2man dpkg-dev lintian adduser systemd
)
for flag in "$@"; do
  case "$flag" in
    --cross) packages+=(g++-mipsel-linux-gnu qemu-user dpkg-dev
                        googletest elfutils gdb-multiarch) ;;  # scripts/controller-check.sh
    --peers) packages+=(prometheus prometheus-alertmanager prometheus-node-exporter chromium fonts-wqy-microhei
                        testssl.sh libnss3-tools
                        snmpd snmp snmptrapd nut-snmp nut-server
                        python3-pymodbus python3-serial-asyncio mbpoll socat
                        avahi-daemon avahi-utils dbus-daemon
                        mosquitto mosquitto-clients
                        python3-aiosmtpd rsyslog rsyslog-openssl) ;;
    --fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    *) echo "install-deps.sh: unknown flag $flag" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
