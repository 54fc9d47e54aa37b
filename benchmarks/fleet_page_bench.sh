#!/usr/bin/env bash
# The fleet's web page: benchmarks/fleet_page_bench (/api/view, history insert rate, the
# intake's hand-over, database size), then page load to first data in headless Chromium
# against the page serving 1,000 access points x 100 stations, then 10,000. Run inside
# tests/harness/sandbox.sh (loopback only) by scripts/bench. Prints "result KEY VALUE" lines.
#
#   fleet_page_bench.sh BUILD_DIR [RUNS]
set -euo pipefail
B=$(readlink -f "$1")
runs=${2:-5}
cd "$(dirname "$0")/.."
W=$(mktemp -d /tmp/vorlask-page-bench.XXXXXX)
server=""
trap '[ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server"; rm -rf "$W"' EXIT
ip link set lo up

"$B/benchmarks/fleet_page_bench"

"$B/benchmarks/fleet_page_bench" --serve 300 18090 >"$W/serve.out" 2>&1 &
server=$!
for _ in $(seq 600); do
    grep -q 'serving on port' "$W/serve.out" && break
    sleep 0.1
done
/usr/bin/python3 benchmarks/fleet_page_load.py http://127.0.0.1:18090 "$runs" "$W/profile"
kill "$server"
wait "$server" || true

# The same at 10,000 access points x 100 stations (1,000,000 stations).
"$B/benchmarks/fleet_page_bench" --serve 300 18091 10000 >"$W/serve-scale.out" 2>&1 &
server=$!
for _ in $(seq 600); do
    grep -q 'serving on port' "$W/serve-scale.out" && break
    sleep 0.1
done
/usr/bin/python3 benchmarks/fleet_page_load.py http://127.0.0.1:18091 "$runs" "$W/profile" \
    page_scale
