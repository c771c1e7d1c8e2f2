#!/usr/bin/env bash
# CI: the Debian package as an administrator meets it. Builds it, has lintian check it,
# installs it with dpkg, runs the installed vimohost against the installed simulator as
# the service's user, then purges it and checks that only what Debian keeps is left (the
# system account).
# Needs root and a machine without a vimohost package of its own.
#   scripts/package-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $(id -u) -ne 0 ]]; then
  echo "package-test.sh: run as root (it installs and purges the package)" >&2
  exit 1
fi
if dpkg-query -W -f='${Status}' vimohost 2>/dev/null | grep -q installed; then
  echo "package-test.sh: a vimohost package is installed here already; not touching it" >&2
  exit 1
fi

fail() { echo "package-test.sh: $*" >&2; exit 1; }
work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [[ -n "$sim_pid" ]]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  if dpkg-query -W -f='${Status}' vimohost 2>/dev/null | grep -q installed; then
    dpkg --purge vimohost >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

deb=$(bash scripts/package.sh default | tail -1)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends
lintian --fail-on error,warning "$deb"
dpkg -i "$deb" >/dev/null
dpkg -L vimohost | sort >"$work/files"

# What the package set up.
/usr/bin/vimohost --version | grep -q '^vimohost ' || fail "vimohost --version"
id -nG vimohost | tr ' ' '\n' | grep -qx dialout || fail "the user vimohost is not in dialout"
[[ $(stat -c %U /var/lib/vimohost) == vimohost ]] || fail "/var/lib/vimohost is not vimohost's"
[[ -f /usr/share/man/man8/vimohost.8.gz && -f /usr/share/man/man1/novexups-sim.1.gz ]] ||
  fail "manual pages missing"
systemd-analyze verify /lib/systemd/system/vimohost.service || fail "systemd-analyze verify"
rules=/usr/share/vimohost/prometheus
[[ -f $rules/ups-alerts.yml && -f $rules/alertmanager.yml ]] || fail "alert rules missing"
if command -v promtool >/dev/null; then
  (cd "$rules" && promtool test rules ups-alerts.test.yml >/dev/null) || fail "installed alert rules"
fi

# Every installed path the installed docs and manual page give is in the package: the
# absolute ones under /usr/share, and "examples/NAME" beside the docs. (Paths under
# /etc/vimohost other than vimohost.json are the administrator's to make.)
doc=/usr/share/doc/vimohost
missing=""
for path in $( { cat "$doc/README.md" "$doc"/docs/*.md; zcat /usr/share/man/man8/vimohost.8.gz; } |
               grep -oE '/usr/share/(doc/)?vimohost/[A-Za-z0-9_./-]*|examples/[A-Za-z0-9_.-]+' |
               sed -E 's/[.]+$//; s|^examples/|'"$doc"'/examples/|' | sort -u); do
  [[ -e "$path" ]] || missing+=" $path"
done
[[ -z "$missing" ]] || fail "the docs name what the package does not install:$missing"
for example in web-config.example.yml protocol-users.example snmpd-vimohost.conf vimohost.json; do
  [[ -f $doc/examples/$example ]] || fail "example $example not installed"
done

# The configuration as installed polls nothing and waits for a reload.
status=0
timeout 2 runuser -u vimohost -- /usr/bin/vimohost --config /etc/vimohost/vimohost.json \
  --no-history 2>"$work/idle.err" || status=$?
[[ $status -eq 124 ]] && grep -q 'lists no devices' "$work/idle.err" ||
  fail "the installed configuration did not leave vimohost waiting: $(cat "$work/idle.err")"

# A few rounds of the installed programs, the monitor as the service's user with the
# state folder systemd would give it (so the history goes there by default).
/usr/bin/novexups-sim --tcp 0 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^ready tcp ' "$work/sim.out" && break
  sleep 0.1
done
port=$(sed -n 's/^ready tcp //p' "$work/sim.out")
[[ -n "$port" ]] || fail "the simulator did not get ready: $(tail -1 "$work/sim.err")"
cat >/etc/vimohost/vimohost.json <<JSON
{"devices": [{"name": "ups1", "transport": "tcp", "port": "$port", "interval_ms": 200}],
 "listen": "127.0.0.1:0", "protocol_listen": "127.0.0.1:0"}
JSON
timeout 60 runuser -u vimohost -- env STATE_DIRECTORY=/var/lib/vimohost /usr/bin/vimohost \
  --config /etc/vimohost/vimohost.json --rounds 3 >"$work/vimohost.out" 2>"$work/vimohost.err" ||
  { cat "$work/vimohost.err" >&2; fail "the installed vimohost did not finish 3 rounds"; }
grep -q 'UPS protocol server on 127.0.0.1:' "$work/vimohost.err" || fail "no protocol server on loopback"
grep -q 'status page on http://127.0.0.1:' "$work/vimohost.err" || fail "no status page on loopback"
runuser -u vimohost -- /usr/bin/vimohost history --history /var/lib/vimohost/history.db \
  --render latest >"$work/latest.json" || fail "the installed vimohost cannot render its history"
[[ $(stat -c %U /var/lib/vimohost/history.db) == vimohost ]] || fail "history.db is not vimohost's"
kill "$sim_pid"; wait "$sim_pid" || true; sim_pid=""

# Purge: nothing of the package is left; the account stays, as Debian keeps system users.
dpkg --purge vimohost >/dev/null
left=""
while read -r path; do
  if [[ -e "$path" && ! -d "$path" ]] || [[ -d "$path" && "$path" == *vimohost* ]]; then
    left+=" $path"
  fi
done <"$work/files"
for path in /etc/vimohost /var/lib/vimohost /etc/systemd/system/multi-user.target.wants/vimohost.service \
            /var/lib/systemd/deb-systemd-helper-enabled/vimohost.service.dsh-also \
            /var/lib/systemd/deb-systemd-helper-masked/vimohost.service; do
  [[ -e "$path" || -L "$path" ]] && left+=" $path"
done
[[ -z "$left" ]] || fail "left after purge:$left"
getent passwd vimohost >/dev/null || fail "the account vimohost went with the purge"
echo "package test: installed, 3 rounds as vimohost, purged clean"
