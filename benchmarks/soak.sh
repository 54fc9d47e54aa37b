#!/usr/bin/env bash
# Soak run: the shipped daemon for a set time against the kernel stand-in with
# 1,000 stable stations (one probe a second each) and 200,000 randomised
# addresses a minute (each heard once), scanning every 5 s; every 10 s the
# daemon's resident memory, CPU share and the netlink socket's receive queue
# are sampled. Prints the samples as a table with a text sparkline, writes an
# SVG plot, the RSS slope after warm-up, and the accounting of the stand-in's
# messages. Runs inside tests/harness/sandbox.sh.
#
#   benchmarks/soak.sh [BUILD_DIR]     (default build/default)
#
# Environment: SOAK_SECS (default 600), SOAK_SVG (default soak.svg in the
# current directory), SOAK_CHECK=1 (fail unless the daemon survived to its
# timed stop and the accounting holds; used by the test stage).
set -uo pipefail
build=$(readlink -f "${1:-build/default}")
here=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${SANDBOX_ADDR:-}" ]; then
    svg=$(readlink -f "${SOAK_SVG:-soak.svg}")
    exec env SOAK_SVG="$svg" "$here/tests/harness/sandbox.sh" -- bash "$0" "$build"
fi

STANDIN=$build/tests/kit/kernel_standin/vorlask-kernel-standin
REDIRECT=$build/tests/kit/port_redirect/libvorlask-port-redirect.so
VORLASK=$build/daemon/vorlask
for f in "$STANDIN" "$REDIRECT" "$VORLASK"; do
    [ -e "$f" ] || { echo "soak: $f is missing; build first" >&2; exit 1; }
done
SECS=${SOAK_SECS:-600}
SVG=${SOAK_SVG:-soak.svg}
PORT=4242
W=$(mktemp -d /tmp/vorlask-soak.XXXXXX)
children=""
cleanup() {
    local pid
    for pid in $children; do kill -KILL "$pid" 2>/dev/null || true; done
    rm -rf "$W"
}
trap cleanup EXIT

random=$((200000 * SECS / 60))
"$STANDIN" --port "$PORT" --wait 15 --duration "$SECS" --stable 1000 --stable-rate 1 \
    --random "$random" --random-hits 1 --linger 2 >"$W/s.out" 2>"$W/s.err" &
sp=$!
children="$children $sp"
# The daemon's registration needs the stand-in bound (at most 30 s).
for ((i = 0; i < 600; i++)); do
    awk -v p="$PORT" '$2 == 2 && $3 == p { f = 1 } END { exit !f }' /proc/net/netlink && break
    sleep 0.05
done
[ "$i" -lt 600 ] || { echo "soak: the stand-in did not bind port $PORT within 30 s" >&2; exit 1; }
env VORLASK_KERNEL_PORT="$PORT" LD_PRELOAD="$REDIRECT" "$VORLASK" -t 5 -T "$SECS" -vv \
    >"$W/d.out" 2>"$W/d.err" &
dp=$!
children="$children $dp"

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$dp/stat" 2>/dev/null; }
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$dp/status" 2>/dev/null; }
# Bytes waiting in the daemon's netlink socket (Rmem of /proc/net/netlink).
socket_queue() {
    local inodes
    inodes=$(for f in /proc/"$dp"/fd/*; do readlink "$f"; done 2>/dev/null |
        sed -n 's/^socket:\[\([0-9]*\)\]$/\1/p' | tr '\n' ' ')
    awk -v ino=" $inodes" 'NR > 1 && $2 == 2 && index(ino, " " $10 " ") { print $5; exit }' \
        /proc/net/netlink
}

start=$EPOCHREALTIME
echo "t_s rss_kb cpu_pct sock_queue_b" >"$W/samples"
last_cpu=$(cpu_ticks)
last_t=$start
for ((i = 1; i <= SECS / 10; i++)); do
    target=$(echo "$start + $i * 10" | bc)
    sleep "$(echo "$target - $EPOCHREALTIME" | bc | awk '{ print ($1 > 0 ? $1 : 0) }')"
    kill -0 "$dp" 2>/dev/null || break
    cpu=$(cpu_ticks)
    t=$EPOCHREALTIME
    pct=$(awk -v c="$cpu" -v l="$last_cpu" -v t="$t" -v lt="$last_t" -v k="$ticks" \
        'BEGIN { printf "%.1f", 100 * (c - l) / k / (t - lt) }')
    echo "$((i * 10)) $(rss_kb) $pct $(socket_queue)" >>"$W/samples"
    last_cpu=$cpu
    last_t=$t
done
wait "$sp"
wait "$dp"
status=$?

echo "soak: ${SECS} s, 1,000 stable stations, $random randomised addresses, scans every 5 s;" \
    "$(nproc) cores, $(uname -r)"
spark() {  # values on stdin -> one line of block characters
    awk 'BEGIN { split("▁ ▂ ▃ ▄ ▅ ▆ ▇ █", b, " ") }
        { v[NR] = $1; if (NR == 1 || $1 < lo) lo = $1; if (NR == 1 || $1 > hi) hi = $1 }
        END { for (i = 1; i <= NR; i++) {
                k = (hi > lo) ? int((v[i] - lo) / (hi - lo) * 7.999) + 1 : 1; printf "%s", b[k] }
              printf "  (%s to %s)\n", lo, hi }'
}
printf '%8s %10s %8s %12s\n' "t (s)" "RSS (KiB)" "CPU %" "socket (B)"
awk 'NR > 1 { printf "%8s %10s %8s %12s\n", $1, $2, $3, $4 }' "$W/samples"
echo "RSS    $(awk 'NR > 1 { print $2 }' "$W/samples" | spark)"
echo "CPU    $(awk 'NR > 1 { print $3 }' "$W/samples" | spark)"
echo "socket $(awk 'NR > 1 { print $4 }' "$W/samples" | spark)"
# Least-squares slope of RSS after the first minute (warm-up).
slope=$(awk 'NR > 1 && $1 > 60 { n++; x += $1; y += $2; xx += $1 * $1; xy += $1 * $2 }
    END { if (n < 2) { print "n/a"; exit }
          printf "%.3f", (n * xy - x * y) / (n * xx - x * x) }' "$W/samples")
echo "RSS slope after the first 60 s: $slope KiB/s"

# The plot: RSS (left scale) and CPU % (right scale) against time.
awk -v out="$SVG" 'NR > 1 { t[++n] = $1; r[n] = $2; c[n] = $3; if ($2 > rmax) rmax = $2;
        if ($3 > cmax) cmax = $3; tmax = $1 }
    END {
        if (n == 0) exit; if (cmax < 1) cmax = 1; W = 640; H = 320; L = 60; B = 280; T = 20; R = 580
        printf "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\">\n", W, H > out
        printf "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n" > out
        printf "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"black\"/>\n", L, B, R, B > out
        printf "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"black\"/>\n", L, T, L, B > out
        for (s = 0; s < 2; s++) {
            printf "<polyline fill=\"none\" stroke=\"%s\" points=\"", s ? "red" : "blue" > out
            for (i = 1; i <= n; i++) {
                v = s ? c[i] / cmax : r[i] / rmax
                printf "%.1f,%.1f ", L + (R - L) * t[i] / tmax, B - (B - T) * v > out }
            printf "\"/>\n" > out }
        printf "<text x=\"%d\" y=\"15\" font-size=\"12\" fill=\"blue\">RSS (max %d KiB)</text>\n", L, rmax > out
        printf "<text x=\"%d\" y=\"15\" font-size=\"12\" fill=\"red\">CPU %% (max %.1f)</text>\n", R - 120, cmax > out
        printf "<text x=\"%d\" y=\"300\" font-size=\"12\">time, 0 to %d s</text>\n", L, tmax > out
        printf "</svg>\n" > out }' "$W/samples"
echo "plot: $SVG"

# Accounting. What the stand-in sent went either into the daemon's socket
# ("sent") or was refused by the full socket ("send failures"). The daemon
# says at its scans what its limits turned away and what the kernel dropped;
# how many it folded into entries that the scans later dropped is not in its
# output unless it prints its "probe messages:" account at the timed stop.
sent=$(awk '/^sent/ { print $2 }' "$W/s.out")
refused=$(awk '/^send failures/ { print $3 }' "$W/s.out")
refused=${refused:-0}
turned_table=$(awk '/turned away since the last scan:/ { s += $6 } END { print s + 0 }' "$W/d.out")
turned_queue=$(awk '/turned away since the last scan:/ { s += $(NF - 3) } END { print s + 0 }' "$W/d.out")
kernel_lost=$(awk '/lost in the kernel since the last scan:/ { s += $(NF - 5) } END { print s + 0 }' "$W/d.out")
scans=$(grep -c -E '^[0-9]+\.[0-9]{3} +[0-9a-f]{12} ' "$W/d.out" || true)
echo "stand-in: ${sent:-?} sent, $refused refused by the full socket (expected $((SECS * 1000 + random)))"
echo "daemon: exit status $status; turned away: $turned_table new addresses (table full)," \
    "$turned_queue records (queue full); lost in the kernel: $kernel_lost; $scans rows printed"
ok=1
[ "$status" = 0 ] || { echo "soak: the daemon did not end with 0" >&2; ok=0; }
grep -qF '*** summary ***' "$W/d.out" || { echo "soak: no summary at the timed stop" >&2; ok=0; }
[ "$((${sent:-0} + refused))" = "$((SECS * 1000 + random))" ] ||
    { echo "soak: the stand-in's sent and refused do not add up" >&2; ok=0; }
account=$(grep -F 'probe messages:' "$W/d.out" | tail -n 1)
if [ -n "$account" ]; then
    echo "daemon account: ${account#*probe messages: }"
    # queued, queue full, folded, table full, dropped by scans, in the table,
    # left in the queue, lost in the kernel.
    read -r q qf f tf d it left kl < <(echo "${account#*probe messages: }" |
        awk '{ gsub(/[^0-9 ]/, " "); print $1, $2, $3, $4, $5, $6, $7, $8 }')
    [ "$((q + qf + kl))" = "${sent:-0}" ] ||
        { echo "soak: queued + turned away + lost ($((q + qf + kl))) is not what was sent (${sent:-0})" >&2; ok=0; }
    [ "$q" = "$((f + left))" ] || { echo "soak: queued is not folded + left in the queue" >&2; ok=0; }
    [ "$f" = "$((tf + d + it))" ] ||
        { echo "soak: folded is not turned away + dropped by scans + in the table" >&2; ok=0; }
    [ "$ok" = 1 ] && echo "accounting: every message the stand-in sent is accounted for"
else
    echo "daemon account: not printed; records folded into entries that the scans dropped" \
        "cannot be counted from outside, so the daemon's side of the accounting is unchecked"
fi
grep -E 'Sanitizer|runtime error' "$W/d.err" && ok=0
if [ "${SOAK_CHECK:-0}" = 1 ] && [ "$ok" != 1 ]; then
    exit 1
fi
exit 0
