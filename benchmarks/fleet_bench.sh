#!/usr/bin/env bash
# The fleet's ingest: how fast vorlask-fleet takes scan documents off a broker
# (parsing, checking and merging each into its view) beside mosquitto_sub
# receiving the same stream to /dev/null. Run inside tests/harness/sandbox.sh
# (loopback only) by scripts/bench.
#
#   fleet_bench.sh BUILD_DIR
#
# A local Mosquitto keeps a backlog for two persistent sessions (one each);
# benchmarks/fleet_feed publishes APS access points x ROUNDS scans of 100
# stations (every station heard by two access points) at QoS 1; then each
# subscriber connects and drains its backlog, timed from its start to its
# last document (vorlask-fleet with --once, which prints its table, not the
# whole view, at the end: the view's JSON document is not ingest). Each is
# timed three times, in alternating order; the best run counts. A backlog
# of 30 rounds keeps mosquitto_sub's drain near a third of a second, long
# beside the few milliseconds of connecting and restoring the session. Prints "result
# KEY VALUE" and "note TEXT" lines.
# Environment: FLEET_BENCH_APS (1000), FLEET_BENCH_ROUNDS (30).
set -euo pipefail
B=$(readlink -f "$1")
cd "$(dirname "$0")/.."
aps=${FLEET_BENCH_APS:-1000}
rounds=${FLEET_BENCH_ROUNDS:-30}
n=$((aps * rounds))
W=$(mktemp -d /tmp/vorlask-fleet-bench.XXXXXX)
broker=""
trap '[ -n "$broker" ] && kill "$broker" 2>/dev/null; rm -rf "$W"' EXIT

python3 tests/e2e/fleet_docs.py --ap ap --feed "$aps" --scans "$rounds" --stations 100 >"$W/feed"
bytes=$(stat -c %s "$W/feed")
cat >"$W/mosquitto.conf" <<EOF
user root
listener 18830 127.0.0.1
allow_anonymous true
persistence false
max_queued_messages 0
max_inflight_messages 0
EOF
mosquitto -c "$W/mosquitto.conf" >"$W/broker.log" 2>&1 &
broker=$!
sleep 0.5

mq=(-h 127.0.0.1 -p 18830)
fleet=("$B/fleet/vorlask-fleet" --host 127.0.0.1 --port 18830 --persistent
    --client-id bench-fleet --qos 1)
sub=(mosquitto_sub "${mq[@]}" -c -i bench-sub -q 1 -t 'vorlask/+/scan')
now() { date +%s.%N; }

run_fleet() {
    local t0 t1
    t0=$(now)
    "${fleet[@]}" --once --count "$n" --wait 600 >"$W/table.txt"
    t1=$(now)
    echo "$t1 - $t0" | bc
    # The view must hold every access point, every scan, nothing lost.
    grep -q "^access points $aps ([0-9]* online)  stations [0-9]*  scans $n  lost documents 0  malformed 0\$" \
        "$W/table.txt" || { echo "fleet view incomplete" >&2; head -n 3 "$W/table.txt" >&2; exit 1; }
}
run_sub() {
    local t0 t1
    t0=$(now)
    "${sub[@]}" -C "$n" >/dev/null
    t1=$(now)
    echo "$t1 - $t0" | bc
}

# Both sessions subscribe once, then go: the broker keeps their backlogs.
"${fleet[@]}" --once --wait 1 >/dev/null
"${sub[@]}" -W 1 >/dev/null 2>&1 || true

best_fleet="" best_sub=""
for order in "sub fleet" "fleet sub" "sub fleet"; do
    echo "feeding $n documents ($bytes bytes) to both sessions" >&2
    "$B/benchmarks/fleet_feed" 127.0.0.1 18830 "$W/feed" >&2
    for who in $order; do
        s=$("run_$who")
        echo "$who drained $n documents in $s s" >&2
        eval "best=\${best_$who}"
        if [ -z "$best" ] || [ "$(echo "$s < $best" | bc)" = 1 ]; then
            eval "best_$who=$s"
        fi
    done
done
fleet_rate=$(echo "$n / $best_fleet" | bc)
sub_rate=$(echo "$n / $best_sub" | bc)
echo "result fleet_docs $fleet_rate"
echo "result fleet_sub_docs $sub_rate"
echo "result fleet_stations $((fleet_rate * 100))"
echo "result fleet_sub_stations $((sub_rate * 100))"
echo "note fleet ingest: $aps access points x $rounds scans of 100 stations ($((bytes / n)) bytes a" \
    "document), drained from a Mosquitto backlog at QoS 1; 1,000 access points scanning every" \
    "10 s need 100 documents/s, 10,000 stations/s."
