#!/usr/bin/env bash
# The collector under a steady load: benchmarks/fleet_pace publishes APS
# access points x 100 stations every 10 s (APS / 10 documents a second) to a
# local Mosquitto at QoS 1 for SECONDS, while vorlask-fleet takes them live.
# Every 10 s it samples what was published and what the collector merged
# (its live table's "scans"), the collector's RSS and the CPU time of the
# collector and of the broker. Run inside tests/harness/sandbox.sh (loopback
# only) by scripts/bench.
#
#   fleet_sustain.sh BUILD_DIR SECONDS
#
# Prints "result KEY VALUE" and "note TEXT" lines: the rate taken beside the
# rate published, the backlog (published, not yet merged) after the first
# round and at the end, the RSS at the end beside the RSS once every access
# point was in the view, the collector's CPU share beside the broker's.
# Environment: FLEET_SUSTAIN_APS (10000).
set -euo pipefail
B=$(readlink -f "$1")
secs=$2
cd "$(dirname "$0")/.."
aps=${FLEET_SUSTAIN_APS:-10000}
W=$(mktemp -d /tmp/vorlask-fleet-sustain.XXXXXX)
broker="" fleet="" feed=""
trap 'for p in $feed $fleet $broker; do kill "$p" 2>/dev/null || true; done; rm -rf "$W"' EXIT

cat >"$W/mosquitto.conf" <<EOC
user root
listener 18831 127.0.0.1
allow_anonymous true
persistence false
max_queued_messages 0
max_inflight_messages 0
EOC
mosquitto -c "$W/mosquitto.conf" >"$W/broker.log" 2>&1 &
broker=$!
sleep 0.5
"$B/fleet/vorlask-fleet" --host 127.0.0.1 --port 18831 --qos 1 --client-id sustain-fleet \
    --duration $((secs + 30)) >"$W/fleet.out" 2>"$W/fleet.err" &
fleet=$!
sleep 1
"$B/benchmarks/fleet_pace" 127.0.0.1 18831 "$aps" 10 "$secs" >"$W/feed.out" 2>"$W/feed.err" &
feed=$!

hz=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
sent() { awk '/^sent / { n = $2 } END { print n + 0 }' "$W/feed.out"; }
merged() { sed -n 's/.*  scans \([0-9]*\)  lost documents.*/\1/p' "$W/fleet.out" | tail -n 1; }
t0=$(date +%s.%N)
fleet_cpu0=$(cpu_ticks "$fleet") broker_cpu0=$(cpu_ticks "$broker")
echo "time_s published merged backlog rss_kib"
# One sample every 10 s while the feed runs; the first after one full round.
while kill -0 "$feed" 2>/dev/null; do
    sleep 10
    kill -0 "$fleet" 2>/dev/null || { echo "vorlask-fleet ended early" >&2; cat "$W/fleet.err" >&2; exit 1; }
    p=$(sent) m=$(merged) r=$(rss_kib "$fleet")
    t=$(echo "$(date +%s.%N) - $t0" | bc)
    echo "$t $p ${m:-0} $((p - ${m:-0})) $r" | tee -a "$W/samples"
done
t1=$(date +%s.%N)
fleet_cpu=$(($(cpu_ticks "$fleet") - fleet_cpu0)) broker_cpu=$(($(cpu_ticks "$broker") - broker_cpu0))
wall=$(echo "$t1 - $t0" | bc)
wait "$feed" || { echo "fleet_pace failed" >&2; cat "$W/feed.err" >&2; exit 1; }
sleep 2
final_sent=$(sent) final_merged=$(merged)
grep -E 'behind' "$W/feed.out" | awk '{ if ($4 > m) m = $4 } END { print "feed: at most " m " ms behind its schedule" }'
grep -E '^access points' "$W/fleet.out" | tail -n 1 || true

awk -v wall="$wall" -v hz="$hz" -v fc="$fleet_cpu" -v bc="$broker_cpu" -v sent="$final_sent" \
    -v merged="$final_merged" -v aps="$aps" '
    { n++; t[n] = $1; p[n] = $2; m[n] = $3; b[n] = $4; r[n] = $5 }
    END {
        # The samples taken while the feed ran: the last may come after its end.
        k = n; while (k > 1 && p[k] >= sent) k--
        if (k < 3) { print "too few samples" > "/dev/stderr"; exit 1 }
        # Rates from the first sample to the last of the feed: merged against published.
        printf "result sustain_taken_rate %.1f\n", (m[k] - m[1]) / (t[k] - t[1])
        printf "result sustain_sent_rate %.1f\n", (p[k] - p[1]) / (t[k] - t[1])
        printf "result sustain_backlog_first %d\n", b[2]
        printf "result sustain_backlog_last %d\n", b[k]
        max = 0; for (i = 2; i <= k; i++) if (b[i] > max) max = b[i]
        printf "result sustain_backlog_max %d\n", max
        # RSS once the view holds every access point (the second sample, 20 s in) and at the end.
        printf "result sustain_rss_start_kib %d\n", r[2]
        printf "result sustain_rss_end_kib %d\n", r[n]
        printf "result sustain_fleet_cpu_pct %.1f\n", 100 * fc / hz / wall
        printf "result sustain_broker_cpu_pct %.1f\n", 100 * bc / hz / wall
        printf "result sustain_sent %d\n", sent
        printf "result sustain_merged %d\n", merged
        printf "result sustain_seconds %d\n", wall
        printf "result sustain_aps %d\n", aps
    }' "$W/samples"
