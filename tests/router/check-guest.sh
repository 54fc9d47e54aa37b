#!/usr/bin/env bash
# Checks what the MIPS guest's scenarios printed (tests/router/guest-init.sh).
#   tests/router/check-guest.sh SERIAL_OUTPUT RESULTS_DIR
set -uo pipefail
serial=${1:?serial output}
R=${2:?results dir}
rm -rf "$R"
mkdir -p "$R"
# Sections "=== NAME" ... "=== end"; the serial line may add carriage returns.
tr -d '\r' <"$serial" | awk -v dir="$R" '
    /^=== end$/ { if (file) close(file); file = ""; next }
    /^=== done$/ { next }
    /^=== / { file = dir "/" substr($0, 5); printf "" > file; next }
    file { print > file }'


failures=0
checks=0
pass() { checks=$((checks + 1)); }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); echo "FAIL: $*"; }
expect_eq() { # ACTUAL EXPECTED WHAT
    if [ "$1" == "$2" ]; then pass; else fail "$3: got [$1], expected [$2]"; fi
}
expect_has() { # FILE TEXT
    if grep -qF -- "$2" "$R/$1" 2>/dev/null; then pass; else fail "$1 lacks [$2]"; fi
}
expect_between() { # VALUE LOW HIGH WHAT
    if awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v >= lo && v <= hi) }'; then
        pass
    else
        fail "$4: [$1] not within [$2, $3]"
    fi
}
# Lines of FILE in order: each text on a later line than the one before.
expect_order() {
    local file=$1 from=0 text n
    shift
    for text in "$@"; do
        n=$(awk -v from="$from" -v t="$text" 'NR > from && index($0, t) { print NR; exit }' \
            "$R/$file" 2>/dev/null)
        if [ -z "$n" ]; then
            fail "$file: [$text] not found after line $from"
            return
        fi
        from=$n
    done
    pass
}
# Console table rows of FILE: "SECONDS.MILLIS MAC - MAC RSSI BAND FREQ COUNT".
rows() {
    awk '$1 ~ /^[0-9]+\.[0-9][0-9][0-9]$/ && length($2) == 12 && $2 ~ /^[0-9a-f]+$/ {
        $1 = ""; sub(/^ +/, ""); print }' "$R/$1"
}
# Standard error holds nothing but the daemon's trace lines.
expect_only_traces() {
    local other
    other=$(grep -v -E '^[0-9] vorlask:[0-9]+:[a-z_]+\(\): $' "$R/$1" || true)
    if [ -z "$other" ]; then pass; else fail "$1 has [$other]"; fi
}

# The guest: a real mipsel kernel with the dummy interface up for multicast.
expect_has setup.out ' mips GNU/Linux'
expect_has setup.out 'dummy0: <BROADCAST,MULTICAST,NOARP,UP,LOWER_UP>'
expect_has setup.out 'default via 10.200.0.2 dev dummy0'

# Every wait in the guest (stand-ins bound, the listener up) ended in time.
expect_eq "$(cat "$R/waits" 2>/dev/null)" "" "waits in the guest"

# Netlink protocol 2 on the real kernel: nothing at the kernel's end.
expect_eq "$(cat "$R/refused.status" 2>/dev/null)" 1 "refused: exit status"
expect_eq "$(head -n 1 "$R/refused.err" 2>/dev/null)" 'mnl_socket_send: Connection refused' \
    "refused: send error"
expect_has refused.out 'Timestamp         MAC                     Rssi     '

# The spine: vorlask -T 3 -v against the stand-in.
expect_eq "$(cat "$R/spine.status" 2>/dev/null)" 0 "spine: exit status"
expect_between "$(cat "$R/spine.elapsed" 2>/dev/null)" 7.5 15 "spine: run time"
expect_order spine.out '10.200.0.9' '225.0.0.37' '--> worker_multicast' \
    'it will be stopped after 5 seconds ...' 'free and shutdown ...' '*** summary ***' \
    'total probes request found: 0' 'finally get a valid probe reqeust number: 0' 'shutdown ...'
for line in 'worker_mac80211_mac_recv thread stopped ...' 'worker_scan thread stopped ...'; do
    expect_order spine.out 'it will be stopped after 5 seconds ...' "$line" 'free and shutdown ...'
done
expect_eq "$(grep -c -F -- '--> multicast_send_cb' "$R/spine.out")" 1 "spine: greeting completions"
expect_has spine.standin 'registered: port '
expect_eq "$(cat "$R/spine.err" 2>/dev/null)" "" "spine: standard error"

# The probe path: rows of three scans and the summary, after 2038.
expect_eq "$(cat "$R/probe_path.status" 2>/dev/null)" 0 "probe path: exit status"
expected_rows='001a2b3c4d5e - 112233445566 -45 1 2412 3
001a2b3c4d5e - 112233445566 -45 1 2412 2
001a2b3c4d5e - 112233445566 -45 1 2412 3
001a2b3c4d61 - 0a0b0c0d0e0f -60 2 5745 2
001a2b3c4d5e - 112233445566 -45 1 2412 0
001a2b3c4d61 - 0a0b0c0d0e0f -60 2 5745 0'
expect_eq "$(rows probe_path.out)" "$expected_rows" "probe path: rows"
expect_order probe_path.out '*** summary ***' 'total probes request found: 2' \
    'To remove some random address, and get a valid address list:' '001a2b3c4d5e' \
    '001a2b3c4d61' 'finally get a valid probe reqeust number: 2'
expect_has probe_path.standin 'sent 13 probe messages'
first_stamp=$(awk '$1 ~ /^[0-9]+\.[0-9][0-9][0-9]$/ && length($2) == 12 { print $1; exit }' \
    "$R/probe_path.out" 2>/dev/null)
expect_has clock.out 'clock set to 2200000000'
expect_between "${first_stamp:-0}" 2200000000 2200000100 "probe path: row time after 2038"
expect_eq "$(cat "$R/probe_path.err" 2>/dev/null)" "" "probe path: standard error"

# Multicast: greeting and reports heard by a listener joined to the group,
# its replies printed by the daemon.
expect_eq "$(cat "$R/multicast.status" 2>/dev/null)" 0 "multicast: exit status"
expect_eq "$(cat "$R/multicast.listener_status" 2>/dev/null)" 0 "multicast: listener status"
heard=$(sed -n 's/^\(greeting [^ ]*\|report [0-9a-f:]* ver [0-9]* rssi [-0-9]*\) from 10\.200\.0\.1:[0-9]*$/\1/p' \
    "$R/multicast.listener" 2>/dev/null)
expect_eq "$heard" 'greeting HelloMACrecver
report 00:1a:2b:3c:4d:5e ver 1 rssi -33
report ff:ff:ff:ff:ff:ff ver 1 rssi -33
report 00:1a:2b:3c:4d:5e ver 1 rssi -33
report 00:00:00:00:00:00 ver 1 rssi -33' "multicast: datagrams heard"
expect_eq "$(grep '^json\[' "$R/multicast.out" 2>/dev/null)" \
    'json[68]: { "data": { "ver": 1, "wifi": { "MAC": "ABorPE1e", "RSSI": -33 } } }
json[76]: { "data": { "ver": 1, "wifi": { "MAC": "\/\/\/\/\/\/\/\/", "RSSI": -33 } } }
json[68]: { "data": { "ver": 1, "wifi": { "MAC": "ABorPE1e", "RSSI": -33 } } }
json[68]: { "data": { "ver": 1, "wifi": { "MAC": "AAAAAAAA", "RSSI": -33 } } }' \
    "multicast: reports rendered"
expect_eq "$(grep -c -x '0a:0b:0c:0d:0e:0f' "$R/multicast.out")" 5 "multicast: replies printed"
expect_only_traces multicast.err

echo "MIPS guest: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
