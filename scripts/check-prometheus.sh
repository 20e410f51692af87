#!/usr/bin/env bash
# The exporter against the real thing: Debian's Prometheus scrapes
# `velmora-fsutil serve` on loopback while the tool simulator stands in for
# LucidLink; after two scrapes, Prometheus' query API must give an
# instance's cache size and a performance counter exactly as the simulator
# prints them (converted to bytes here, independently of the exporter), and
# `promtool check metrics` must find nothing wrong with a scrape. Then a
# second Prometheus scrapes an exporter over TLS with a password
# (check_tls_scrape, below).
#
#   scripts/check-prometheus.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get install -y -qq --no-install-recommends prometheus python3 openssl curl >/dev/null
cmake --build "$build" --target velmora-fsutil lucid-sim >/dev/null

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-prometheus: FAIL: $*" >&2; for f in "$work"/*.log; do echo "== $f" >&2; tail -n 20 "$f" >&2; done; exit 1; }

# The simulator at its first sample: one sample a hundred seconds, so every
# scrape during the check sees the same values.
cp "$build/tools/lucid-sim" "$work/lucid"
mkdir "$work/lucid.d"
printf '2001\tfs.one\t7778\tlive\t/mnt/one\n2002\tfs.two\t7779\tlive\t/mnt/two\n' >"$work/lucid.d/instances"
echo "perf-rate=0.01" >"$work/lucid.d/options"

http() { python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1], timeout=10).read().decode())' "$1"; }
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# Starts `serve` over the simulator on a free loopback port with its log in
# LOG and the given options; sets $address to HOST:PORT once it listens.
start_exporter() {  # LOG OPTION...
  local log=$1
  shift
  "$build/cli/velmora-fsutil" serve --tool "$work/lucid" --listen 127.0.0.1:0 --refresh 1 "$@" 2>"$log" &
  pids+=($!)
  for _ in $(seq 100); do grep -q listening "$log" && break; sleep 0.1; done
  address=$(grep -o '127\.0\.0\.1:[0-9]*' "$log" | head -n 1) || fail "the exporter logging to $log did not start"
}

start_exporter "$work/exporter.log" --smart-interval 0
exporter=$address

port=$(free_port)
cat >"$work/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: velmora
    static_configs:
      - targets: ['$exporter']
EOF
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
  --web.listen-address="127.0.0.1:$port" >"$work/prometheus.log" 2>&1 &
pids+=($!)

# One number from Prometheus' query API; empty when the query has no result.
query() {
  http "http://127.0.0.1:$port/api/v1/query?query=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$1")" |
    python3 -c 'import json, sys; r = json.load(sys.stdin)["data"]["result"]; print(r[0]["value"][1] if r else "")'
}
scrapes=""
for _ in $(seq 120); do
  scrapes=$(query 'count_over_time(up{job="velmora"}[5m])' 2>/dev/null || true)
  [ -n "$scrapes" ] && [ "$scrapes" -ge 2 ] && [ "$(query 'min_over_time(up{job="velmora"}[5m])')" = "1" ] && break
  sleep 0.5
done
[ -n "$scrapes" ] && [ "$scrapes" -ge 2 ] || fail "Prometheus did not scrape the exporter twice"

# What the simulator itself prints, read here: the cache report's "Current
# size on disk" and the first sample's fs readBytes.
want_cache=$("$work/lucid" --instance 2001 cache | python3 -c '
import re, sys
number, unit = re.search(r"Current size on disk: ([0-9.]+) (\w+)", sys.stdin.read()).groups()
print(float(number) * {"B": 1, "KiB": 2**10, "MiB": 2**20, "GiB": 2**30}[unit])')
want_rate=$(timeout 2 "$work/lucid" --instance 2001 perf --fs readBytes | python3 -c '
import sys
lines = sys.stdin.read().splitlines()
token = lines[2][lines[0].index("-- fs --"):].split()[0]
number, unit = token[:-len("MiB/s")], token[-len("MiB/s"):]
print(float(number) * {"MiB/s": 2**20}[unit])') || true

same() { python3 -c 'import sys; a, b = sys.argv[1:]; sys.exit(0 if a and b and float(a) == float(b) else 1)' "$1" "$2"; }
got_cache=$(query 'velmora_filespace_cache_size_on_disk_bytes{instance_id="2001"}')
got_rate=$(query 'velmora_filespace_read_bytes_per_second{instance_id="2001",layer="fs"}')
same "$got_cache" "$want_cache" || fail "cache size on disk: Prometheus has '$got_cache', the simulator says $want_cache"
same "$got_rate" "$want_rate" || fail "fs readBytes: Prometheus has '$got_rate', the simulator says $want_rate"
echo "check-prometheus: after $scrapes scrapes, cache size on disk $got_cache B and fs readBytes $got_rate B/s, as the simulator says"

http "http://$exporter/metrics" >"$work/scrape.txt"
promtool check metrics <"$work/scrape.txt" || fail "promtool check metrics found problems"
echo "check-prometheus: promtool check metrics is clean ($(grep -vc '^#' "$work/scrape.txt") samples)"

# Over TLS with a password: a second exporter reads a web configuration (a
# certificate made here by openssl, a bcrypt hash), and a second Prometheus
# scrapes it trusting that certificate; a scrape without the password, and
# one in plain HTTP, get no metrics.
check_tls_scrape() {
  local tls="$work/tls" tls_port exporter_tls up
  mkdir "$tls"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tls/key.pem" -out "$tls/cert.pem" -days 2 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 2>/dev/null || fail "openssl could not make a certificate"
  local hash
  hash=$(python3 -W ignore -c 'import crypt; print(crypt.crypt("scrape-secret", crypt.mksalt(crypt.METHOD_BLOWFISH)))')
  printf 'tls_server_config:\n  cert_file: cert.pem\n  key_file: key.pem\nbasic_auth_users:\n  prometheus: %s\n' "'$hash'" >"$tls/web.yml"
  echo scrape-secret >"$tls/password"
  start_exporter "$work/exporter-tls.log" --smart-interval 0 --web-config "$tls/web.yml"
  exporter_tls=$address
  [ "$(curl -s -o /dev/null -w '%{http_code}' --cacert "$tls/cert.pem" "https://$exporter_tls/metrics")" = 401 ] ||
    fail "a scrape without the password was not refused with 401"
  ! curl -s -m 5 "http://$exporter_tls/metrics" 2>/dev/null | grep -q velmora || fail "plain HTTP got metrics from the TLS listener"

  tls_port=$(free_port)
  cat >"$tls/prometheus.yml" <<CONFIG
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: velmora-tls
    scheme: https
    tls_config:
      ca_file: $tls/cert.pem
    basic_auth:
      username: prometheus
      password_file: $tls/password
    static_configs:
      - targets: ['$exporter_tls']
CONFIG
  prometheus --config.file="$tls/prometheus.yml" --storage.tsdb.path="$tls/data" \
    --web.listen-address="127.0.0.1:$tls_port" >"$work/prometheus-tls.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 120); do
    up=$(http "http://127.0.0.1:$tls_port/api/v1/query?query=velmora_filespace_cache_size_on_disk_bytes%7Binstance_id%3D%222001%22%7D" 2>/dev/null |
      python3 -c 'import json, sys; r = json.load(sys.stdin)["data"]["result"]; print(r[0]["value"][1] if r else "")' 2>/dev/null || true)
    [ -n "$up" ] && break
    sleep 0.5
  done
  [ -n "$up" ] || fail "Prometheus did not scrape the exporter over TLS with the password"
  echo "check-prometheus: over TLS with a password, Prometheus reads cache size on disk $up B"
}
check_tls_scrape

# ---- monitoring/: the alert rules, their unit tests and the dashboard ----
# Kept apart from the scrape checks above. promtool checks the rules and
# runs their unit tests; every series name the files use must be one the
# exporter's sources define; then a Prometheus of its own, with the rules
# loaded and evaluated every second, scrapes a second exporter (drives
# included) and every query of the dashboard must return data. A query of
# drive series may only come back empty when no drive here answers SMART
# (virtual disks, no privileges): it is then only checked to be accepted.
check_monitoring() {
  promtool check rules monitoring/velmora.rules.yml || fail "promtool check rules"
  promtool test rules monitoring/velmora.rules.test.yml || fail "promtool test rules"

  local name unknown=()
  for name in $(grep -ohP '(?<![:\w])velmora_[a-z_]+' monitoring/velmora.rules.yml monitoring/velmora-dashboard.json | sort -u); do
    grep -q "\"$name\"" cli/serve/*.cpp || unknown+=("$name")
  done
  [ "${#unknown[@]}" -eq 0 ] || fail "monitoring/ uses series the exporter does not define: ${unknown[*]}"

  # The rules as shipped, but evaluated every second.
  sed 's/^  - name: .*/&\n    interval: 1s/' monitoring/velmora.rules.yml >"$work/velmora.rules.yml"
  local target mport
  start_exporter "$work/monitoring-exporter.log" --smart-interval 1
  target=$address
  mport=$(free_port)
  cat >"$work/monitoring.yml" <<YAML
global:
  scrape_interval: 1s
  scrape_timeout: 1s
  evaluation_interval: 1s
rule_files: ['$work/velmora.rules.yml']
scrape_configs:
  - job_name: velmora
    static_configs:
      - targets: ['$target']
YAML
  prometheus --config.file="$work/monitoring.yml" --storage.tsdb.path="$work/monitoring-data" \
    --web.listen-address="127.0.0.1:$mport" >"$work/monitoring-prometheus.log" 2>&1 &
  pids+=($!)
  python3 - "http://127.0.0.1:$mport" monitoring/velmora-dashboard.json <<'PY' || fail "the dashboard's queries"
import json, re, sys, time, urllib.error, urllib.parse, urllib.request

base, dashboard = sys.argv[1], json.load(open(sys.argv[2]))

def api(path, **params):
    url = base + path + ("?" + urllib.parse.urlencode(params) if params else "")
    return json.load(urllib.request.urlopen(url, timeout=10))["data"]

def panels(items):
    for panel in items:
        yield panel
        yield from panels(panel.get("panels", []))

# Grafana's variables as "all", its label_values() as the series it reads.
def promql(expr):
    expr = expr.replace("$__rate_interval", "10s").replace("$job", ".*").replace("$instance", ".*")
    match = re.fullmatch(r"label_values\((.*),\s*\w+\)", expr)
    return match.group(1) if match else expr

queries = [(p["title"], promql(t["expr"])) for p in panels(dashboard["panels"]) for t in p.get("targets", [])]
queries += [(v["name"] + " variable", promql(v["query"]["query"])) for v in dashboard["templating"]["list"]
            if v["type"] == "query"]
def unanswered():
    try:
        return {q for q in queries if not api("/api/v1/query", query=q[1])["result"]}
    except urllib.error.HTTPError as error:
        if error.code == 400:  # a query Prometheus refuses
            sys.exit(f"check-prometheus: Prometheus refuses a dashboard query: {error.read().decode()}")
        return set(queries)  # still starting (503)
    except OSError:  # not listening yet
        return set(queries)

# Drive queries may stay empty only when, three rounds of SMART after
# everything else answered, no drive answers SMART.
settled = 0
for _ in range(90):
    empty = unanswered()
    if not empty:
        break
    if all("velmora_drive_" in q for _, q in empty):
        settled += 1
        if settled >= 3 and not api("/api/v1/query", query="velmora_drive_smart_up == 1")["result"]:
            break
    time.sleep(1)
answered = len(queries) - len(empty)
if empty and (settled < 3 or any("velmora_drive_" not in q for _, q in empty)):
    for title, query in sorted(empty):
        print(f"check-prometheus: no data for panel '{title}': {query}", file=sys.stderr)
    sys.exit(1)
print(f"check-prometheus: {answered} of the dashboard's {len(queries)} queries return data"
      + (f"; {len(empty)} of drive values none, as no drive here answers SMART (accepted as queries only)" if empty else ""))

rules = [r for g in api("/api/v1/rules")["groups"] for r in g["rules"]]
bad = [f"{r['name']}: {r.get('lastError')}" for r in rules if r["health"] != "ok"]
if len(rules) < 18 or bad:
    sys.exit(f"check-prometheus: rules not evaluated cleanly ({len(rules)} loaded): {bad}")
alerts = [a for a in api("/api/v1/alerts")["alerts"] if a["labels"].get("collector") != "smart"]
if alerts:
    sys.exit(f"check-prometheus: alerts on a healthy exporter: {[a['labels'] for a in alerts]}")
print(f"check-prometheus: {len(rules)} rules evaluate cleanly, no alert on a healthy exporter")
PY
}
check_monitoring
