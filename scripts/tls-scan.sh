#!/bin/bash
# Scans vimohost's HTTPS port with testssl.sh (Debian package testssl.sh): vimohost polls
# its simulator on loopback behind a web configuration with a certificate of a CA made
# here, and the scan must find nothing rated MEDIUM or worse. Slow (about two minutes):
# CI runs it once, apart from the tests. Prints the findings by severity.
#   scripts/tls-scan.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build}
vimohost=$build/vimohost
command -v testssl >/dev/null || { echo "tls-scan: needs testssl (package testssl.sh)" >&2; exit 2; }
dir=$(mktemp -d /tmp/vimohost-tls-scan-XXXXXX)
pid=
cleanup() {
  [[ -n "$pid" ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
cd "$dir"
# A CA, and a server certificate for 127.0.0.1 valid for 90 days that names where its
# revocation would be published, as a real one does.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 365 \
  -subj /CN=scan-ca -keyout ca.key -out ca.pem 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=127.0.0.1 \
  -keyout vimohost.key -out vimohost.csr 2>/dev/null
printf '%s\n' "subjectAltName=IP:127.0.0.1" "crlDistributionPoints=URI:http://127.0.0.1/ca.crl" \
  "keyUsage=critical,digitalSignature" "extendedKeyUsage=serverAuth" > server.ext
openssl x509 -req -in vimohost.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 90 \
  -extfile server.ext -out vimohost.crt 2>/dev/null
printf 'tls_server_config:\n  cert_file: vimohost.crt\n  key_file: vimohost.key\n' > web.yml
chmod 600 vimohost.key web.yml
port=$((20000 + RANDOM % 20000))
"$OLDPWD/$vimohost" --simulate --no-history --listen "127.0.0.1:$port" --web-config "$dir/web.yml" \
  > vimohost.out 2> vimohost.err &
pid=$!
for _ in $(seq 50); do curl -s --cacert ca.pem "https://127.0.0.1:$port/healthz" >/dev/null && break; sleep 0.2; done
testssl --quiet --color 0 --warnings off --add-ca ca.pem -p -s -f -P -S -U -h \
  --jsonfile scan.json "https://127.0.0.1:$port" > scan.out 2>&1 || true
python3 - scan.json <<'PY'
import collections, json, sys
findings = json.load(open(sys.argv[1]))
count = collections.Counter(f["severity"] for f in findings)
bad = [f for f in findings if f["severity"] in ("MEDIUM", "HIGH", "CRITICAL")]
protocols = [f["id"] + " " + f["finding"] for f in findings if f["id"] in
             ("SSLv2", "SSLv3", "TLS1", "TLS1_1", "TLS1_2", "TLS1_3")]
print("tls-scan: " + ", ".join(protocols))
print("tls-scan: findings by severity: " + ", ".join(f"{k} {v}" for k, v in sorted(count.items())))
for f in findings:
    if f["severity"] in ("LOW", "MEDIUM", "HIGH", "CRITICAL"):
        print(f"tls-scan:   {f['severity']} {f['id']}: {f['finding']}")
sys.exit(1 if bad else 0)
PY
