#!/usr/bin/env bash
# The fleet's web page in a real browser: a broker and vorlask-fleet --http in the collector
# namespace of tests/harness/fleet_net.sh, three access points each running vorlask (with an
# [mqtt] section, scanning every two seconds) and its kernel stand-in in its own namespace, one
# of them with a client id full of markup and script and hashed addresses, a fourth (ap-slow,
# documents from tests/e2e/fleet_docs.py) whose clock is an hour behind, and headless
# Chromium on the collector's loopback driven by tests/e2e/fleet_page_browser.py. Then attacks
# from 127.0.0.1 (tests/e2e/fleet_page_attacks.py: a rebinding Host, slowloris, 2,000
# connections, 16 live feeds that never read) while an honest client on 127.0.0.2 is served
# throughout and the collector stays under 48 MiB. Meanwhile Prometheus (Debian's package) scrapes
# /metrics on loopback and gives the site's people back through its query API. Visits on, with
# thresholds small enough for the run: access point 2 hears a visitor and a passerby (addresses
# not randomised) for 25 s.
# Environment (set by CTest): FLEET, FLEET_NET_HARNESS, FLEET_DOCS, E2E_LIB, BROWSER_CHECK,
# SCREENSHOT (where the page's screenshot goes), VORLASK, STANDIN, PORT_REDIRECT.
# shellcheck source=tests/e2e/lib.sh
source "$E2E_LIB"

if [ -z "${FLEET_NET:-}" ]; then
    exec "$FLEET_NET_HARNESS" --aps 3 -- bash "$0" "$@"
fi
T=$(mktemp -d /tmp/vorlask-fleet-page.XXXXXX)
STARTED_PIDS=""
trap cleanup EXIT
cd "$T" || exit 1
hub=$FLEET_NET_HUB
hostile='<script>alert(1)<b>x&amp;"'
token=page-test-token-0123456789
port=18080
run=110
# A globally administered address and its maker, from the registry the page reads.
maker_line=$(grep -m1 '^MA-L,002272,' /usr/share/ieee-data/oui.csv)
maker_name=$(echo "$maker_line" | cut -d, -f3)
maker_address=00:22:72:12:34:56
# Access point 2's station 02:00:00:00:00:09 starts probing this many seconds in.
new_station=02:00:00:00:00:09
new_after=22
secret=page-test-secret

ip link set lo up
cat >mosquitto.conf <<EOF2
user root
persistence false
allow_anonymous true
listener 1883 $hub
EOF2
mosquitto -c mosquitto.conf >broker.out 2>&1 &
STARTED_PIDS="$STARTED_PIDS $!"
echo "$token" >token
for _ in $(seq 50); do
    mosquitto_pub -h "$hub" -t vorlask/probe -m x 2>/dev/null && break
    sleep 0.1
done

"$FLEET" --host "$hub" --http "127.0.0.1:$port" --db "$T/history.db" --token-file token \
    --rows 0 --visits --visitor-rssi -50 --visitor-dwell 0.1 --visit-timeout 0.2 \
    >fleet.out 2>fleet.err &
fleet_pid=$!
STARTED_PIDS="$STARTED_PIDS $fleet_pid"

# script FIRST COUNT RSSI [FROM]: stations 02:00:00:00:00:FIRST.. probing twice a second
# (from FROM seconds on), station n at RSSI - n mod 7 dBm.
script() {
    local first=$1 count=$2 rssi=$3 from=${4:-0} t n
    for t in $(seq "$from" "$run"); do
        for n in $(seq "$first" $((first + count - 1))); do
            printf '%d 02:00:00:00:00:%02x ff:ff:ff:ff:ff:ff %d 0 2437 2\n' "$t" "$n" $((rssi - n % 7))
        done
    done
}
# access_point I CLIENT_ID SCRIPT [MQTT LINES...]: vorlask and its stand-in in access point I.
access_point() {
    local i=$1 id=$2 steps=$3
    shift 3
    {
        printf '[server]\nucast_addr = 10.0.0.9\nmcast_addr = 225.0.0.37\n'
        printf '[mqtt]\nhost = %s\nclient_id = %s\n' "$hub" "$id"
        printf '%s\n' "$@"
    } >"ap$i.conf"
    "$FLEET_NET" in "$i" sh -c 'cat >/etc/vorlask.conf' <"ap$i.conf"
    "$FLEET_NET" in "$i" "$STANDIN" --port 4242 --wait 30 --script "$steps" >"standin$i.out" 2>&1 &
    STARTED_PIDS="$STARTED_PIDS $!"
    "$FLEET_NET" in "$i" env VORLASK_KERNEL_PORT=4242 "LD_PRELOAD=$PORT_REDIRECT" \
        "$VORLASK" -t 2 -T "$run" >"d$i.out" 2>"d$i.err" &
    STARTED_PIDS="$STARTED_PIDS $!"
}
{
    script 0 6 -40
    for t in $(seq 0 "$run"); do
        printf '%d %s ff:ff:ff:ff:ff:ff -40 0 2437 2\n' "$t" "$maker_address"
    done
} | sort -s -n -k1,1 >ap1.script
# heard ADDRESS RSSI: a station probing twice a second for the first 25 seconds (long past the
# dwell of 6 s even when its access point's first documents come late).
heard() {
    local t
    for t in $(seq 0 24); do
        printf '%d %s ff:ff:ff:ff:ff:ff %d 0 2437 2\n' "$t" "$1" "$2"
    done
}
visitor=00:22:72:00:00:01
passerby=00:22:72:00:00:02
{
    script 3 6 -55
    script 9 1 -55 "$new_after"
    heard "$visitor" -45
    heard "$passerby" -70
} | sort -s -n -k1,1 >ap2.script
script 20 6 -60 >ap3.script
printf '%s' "$secret" >secret
"$FLEET_NET" in 3 sh -c 'cat >/etc/vorlask-secret' <secret
access_point 1 ap-north ap1.script
access_point 2 ap-south ap2.script
access_point 3 "$hostile" ap3.script "addresses = hashed" "secret_file = /etc/vorlask-secret"
# Station 02:00:00:00:00:14 as access point 3 publishes it.
hashed_id=$(python3 -c 'import hashlib, hmac, sys
print(hmac.new(sys.argv[1].encode(), bytes.fromhex("020000000014"), hashlib.sha256).hexdigest()[:16])' "$secret")

for _ in $(seq 100); do
    grep -q 'web page on port' fleet.err && break
    sleep 0.1
done
expect_file_has fleet.err "web page on port $port"
# An access point whose clock is an hour behind: flagged on the page.
mosquitto_pub -h "$hub" -q 1 -r -t vorlask/ap-slow/status -m online
# Its scan carries the only people figure of the run: the site's people are its 2.5.
python3 "$FLEET_DOCS" --ap ap-slow --first 40 --stations 2 --clock-offset -3600 --crowd 3 \
    --people 2.5 | mosquitto_pub -h "$hub" -q 1 -t vorlask/ap-slow/scan -l

MAKER_ADDRESS=$maker_address MAKER_NAME=$maker_name HASHED_ID=$hashed_id PROFILE_DIR=$T/profile \
    timeout 110 /usr/bin/python3 "$BROWSER_CHECK" "http://127.0.0.1:$port" "$token" "$hostile" \
    "$new_station" "$SCREENSHOT" >browser.out 2>&1 &
browser_pid=$!

# While the browser looks: a real Prometheus on loopback scrapes /metrics every second with the
# token as its bearer_token_file; its HTTP API gives the site's people back.
prometheus_port=19090
cat >prometheus.yml <<EOF2
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: vorlask-fleet
    bearer_token_file: $T/token
    static_configs:
      - targets: ['127.0.0.1:$port']
EOF2
prometheus --config.file=prometheus.yml --storage.tsdb.path="$T/prometheus" \
    --web.listen-address="127.0.0.1:$prometheus_port" >prometheus.out 2>&1 &
prometheus_pid=$!
STARTED_PIDS="$STARTED_PIDS $prometheus_pid"
people=""
for _ in $(seq 40); do
    people=$(curl -s -G "http://127.0.0.1:$prometheus_port/api/v1/query" \
        --data-urlencode 'query=vorlask_site_people{job="vorlask-fleet"}' |
        jq -r '.data.result[0].value[1] // empty' 2>/dev/null)
    [ -n "$people" ] && break
    sleep 0.5
done
expect_eq "$people" 2.5 "the site's people through Prometheus"
curl -sf -H "Authorization: Bearer $token" "http://127.0.0.1:$port/metrics" >metrics.txt
promtool check metrics <metrics.txt && pass || fail "promtool check metrics (metrics.txt)"
expect_file_has metrics.txt 'vorlask_ap_people{ap="ap-slow"} 2.5'
kill -TERM "$prometheus_pid"
wait "$prometheus_pid"
expect_eq "$?" 0 "prometheus exit status"

wait "$browser_pid" && pass || fail "browser checks (browser.out)"
cat browser.out
for i in 1 2 3; do expect_file_has "d$i.err" ": connected"; done

for attack in rebind slowloris flood feeds; do
    timeout 60 python3 "$(dirname "$BROWSER_CHECK")/fleet_page_attacks.py" "$attack" "$port" \
        "$token" "$fleet_pid" >"attack-$attack.out" 2>&1 && pass || fail "$attack (attack-$attack.out)"
    cat "attack-$attack.out"
    expect_between "$(sed -n 's/^rss_mib //p' "attack-$attack.out")" 1 48 "collector MiB, $attack"
done

# The visits, ended by now, in /metrics too.
curl -sf -H "Authorization: Bearer $token" "http://127.0.0.1:$port/metrics" >metrics2.txt
promtool check metrics <metrics2.txt && pass || fail "promtool check metrics (metrics2.txt)"
expect_file_has metrics2.txt 'vorlask_visits_ended_total{kind="visitor"} 1'
expect_file_has metrics2.txt 'vorlask_visits_ended_total{kind="passerby"} 1'

# The history is on disk and the fleet stops cleanly on SIGTERM.
kill -TERM "$fleet_pid"
wait "$fleet_pid"
expect_eq "$?" 0 "vorlask-fleet exit status"
minutes=$(sqlite3 history.db "SELECT count(*) FROM ap_minute WHERE ap = 'ap-north'")
expect_between "$minutes" 1 5 "ap-north minutes in the history"
# Visits: the visitor and the passerby ended at ap-south; only addresses not randomised kept.
expect_eq "$(sqlite3 history.db "SELECT sum(visitors), sum(passersby) FROM visit_hour WHERE ap = 'ap-south'")" \
    "1|1" "ap-south's visitors and passersby"
expect_eq "$(sqlite3 history.db "SELECT count(*) FROM visit_station WHERE key IN ('$visitor', '$passerby')")" \
    2 "stations kept for returning visitors"
expect_eq "$(sqlite3 history.db "SELECT count(*) FROM visit_station WHERE key NOT LIKE '00:22:72:%'")" \
    0 "randomised or hashed stations kept for visits"
finish
