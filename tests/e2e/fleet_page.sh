#!/usr/bin/env bash
# The fleet's web page in a real browser: a broker and vorlask-fleet --http in the collector
# namespace of tests/harness/fleet_net.sh, three access points publishing scans every two
# seconds (one of them with a client id full of markup and script), and headless Chromium on
# the collector's loopback driven by tests/e2e/fleet_page_browser.py.
#
# Until the daemon publishes itself, the access points are mosquitto_pub sending documents
# from tests/e2e/fleet_docs.py.
# Environment (set by CTest): FLEET, FLEET_NET_HARNESS, FLEET_DOCS, E2E_LIB, BROWSER_CHECK,
# SCREENSHOT (where the page's screenshot goes).
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
# A globally administered address and its maker, from the registry the page reads.
maker_line=$(grep -m1 '^MA-L,002272,' /usr/share/ieee-data/oui.csv)
maker_name=$(echo "$maker_line" | cut -d, -f3)
maker_address=00:22:72:12:34:56

ip link set lo up
cat >mosquitto.conf <<EOF
user root
persistence false
allow_anonymous true
listener 1883 $hub
EOF
mosquitto -c mosquitto.conf >broker.out 2>&1 &
STARTED_PIDS="$STARTED_PIDS $!"
echo "$token" >token
for _ in $(seq 50); do
    mosquitto_pub -h "$hub" -t vorlask/probe -m x 2>/dev/null && break
    sleep 0.1
done

"$FLEET" --host "$hub" --http "127.0.0.1:$port" --db "$T/history.db" --token-file token \
    --rows 0 >fleet.out 2>fleet.err &
fleet_pid=$!
STARTED_PIDS="$STARTED_PIDS $fleet_pid"

# feeder I ID JQ-FILTER ARGS...: in access point I, one scan every two seconds, each document
# passed through JQ-FILTER; the test's flag file adds a station to every feeder's list.
feeder() {
    local i=$1 id=$2
    shift 2
    "$FLEET_NET" in "$i" mosquitto_pub -h "$hub" -r -t "vorlask/$id/status" -m online
    "$FLEET_NET" in "$i" bash -c '
        docs=$1 hub=$2 id=$3 flag=$4 extra=$5; shift 5
        seq=1
        while :; do
            n=6; [ -e "$flag" ] && n=7
            python3 "$docs" --ap "$id" --seq-from $seq --stations $n "$@" |
                jq -c "$extra" | mosquitto_pub -h "$hub" -t "vorlask/$id/scan" -l
            seq=$((seq + 1))
            sleep 2
        done' feeder "$FLEET_DOCS" "$hub" "$id" "$T/new-station" "$@" &
    STARTED_PIDS="$STARTED_PIDS $!"
}
global='.stations += [.stations[0] + {"address": "'$maker_address'"}]'
feeder 1 ap-north "$global" --first 0 --rssi -40 --crowd 4
feeder 2 ap-south . --first 3 --rssi -55
feeder 3 "$hostile" . --first 20 --rssi -60 --form hashed

for _ in $(seq 100); do
    grep -q 'web page on port' fleet.err && break
    sleep 0.1
done
expect_file_has fleet.err "web page on port $port"

# Access point 2 reports stations 3..8, then 3..9 once the flag file is there.
MAKER_ADDRESS=$maker_address MAKER_NAME=$maker_name PROFILE_DIR=$T/profile timeout 110 /usr/bin/python3 \
    "$BROWSER_CHECK" "http://127.0.0.1:$port" "$token" "$hostile" "$T/new-station" \
    02:00:00:00:00:09 "$SCREENSHOT" >browser.out 2>&1 &
wait $! && pass || fail "browser checks (browser.out)"
cat browser.out

# The history is on disk and the fleet stops cleanly on SIGTERM.
kill -TERM "$fleet_pid"
wait "$fleet_pid"
expect_eq "$?" 0 "vorlask-fleet exit status"
minutes=$(sqlite3 history.db "SELECT count(*) FROM ap_minute WHERE ap = 'ap-north'")
expect_between "$minutes" 1 5 "ap-north minutes in the history"
finish
