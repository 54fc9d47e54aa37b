#!/usr/bin/env bash
# What the daemon sends to its multicast group, as a plain socat receiver
# joined to the group sees it: the greeting once, then one JSON report per
# kept station per scan.
#   multicast_reports.sh reports|greeting
source "$E2E_LIB"
source "$(dirname "$0")/multicast_common.sh"
enter_sandbox "$@"
case_name=${1:?case}

case "$case_name" in
reports)
    # Scans at 2, 4 and 6 s with randommax 2. Scan 1 keeps ...5e and the
    # all-ones address (its base64 is all '/'), drops the one-off; scan 2
    # keeps ...5e again and the all-zero address; scan 3 keeps nothing.
    cat >"$T/script" <<'SCRIPT'
0.3 00:1a:2b:3c:4d:5e 11:22:33:44:55:66 -45 1 2412 3
0.5 02:aa:00:00:00:01 11:22:33:44:55:66 -70 1 2412
0.6 ff:ff:ff:ff:ff:ff 11:22:33:44:55:66 -5 2 5180 2
2.5 00:1a:2b:3c:4d:5e 11:22:33:44:55:66 -99 3 9999 2
2.6 00:00:00:00:00:00 11:22:33:44:55:66 -60 1 2437 2
SCRIPT
    expected_macs=(001a2b3c4d5e ffffffffffff 001a2b3c4d5e 000000000000)
    start_socat sock
    start_standin standin --wait 30 --script "$T/script" --linger 15
    start_daemon d -t 2 -T 7 -vvv
    wait_daemon d 60
    stop_socat
    expect_eq "$DAEMON_STATUS" 0 "exit status"

    n=$(split_datagrams "$T/sock")
    expect_eq "$n" $((1 + ${#expected_macs[@]})) "datagrams received"
    expect_eq "$(cat "$T/sock.1" 2>/dev/null)" HelloMACrecver "first datagram"
    expect_eq "$(stat -c %s "$T/sock.1" 2>/dev/null)" 14 "greeting length"
    greetings=0
    for f in "$T"/sock.[0-9]*; do
        cmp -s "$f" <(printf HelloMACrecver) && greetings=$((greetings + 1))
    done
    expect_eq "$greetings" 1 "greetings"

    # The -vvv lines of the reports, in order: "json[N]: TEXT".
    grep -E '^[0-9.]+ json\[' "$T/d.out" | cut -d' ' -f2- >"$T/json_lines"
    expect_eq "$(wc -l <"$T/json_lines")" "${#expected_macs[@]}" "json lines"

    i=0
    for mac in "${expected_macs[@]}"; do
        i=$((i + 1))
        f="$T/sock.$((i + 1))"
        [ -f "$f" ] || { fail "report $i missing"; continue; }
        expect_eq "$(jq -r '.data.ver' "$f")" 1 "report $i ver"
        expect_eq "$(jq -r '.data.wifi.RSSI' "$f")" -33 "report $i RSSI"
        expect_eq "$(jq -r '.data.wifi.MAC' "$f")" "$(mac_base64 "$mac")" "report $i MAC"
        expect_eq "$(jq -r '.data.wifi.MAC | length' "$f")" 8 "report $i MAC length"
        expect_eq "$(jq -c '[keys, (.data | keys), (.data.wifi | keys)]' "$f")" \
            '[["data"],["ver","wifi"],["MAC","RSSI"]]' "report $i members"
        if cmp -s "$f" <(expected_report "$mac"); then
            pass
        else
            fail "report $i bytes: [$(cat "$f")], expected [$(expected_report "$mac")]"
        fi
        expect_eq "$(sed -n "${i}p" "$T/json_lines")" "json[$(stat -c %s "$f")]: $(cat "$f")" \
            "json line $i"
    done
    expect_eq "$(count_lines "$T/d.out" '--> worker_multicast')" 1 "worker_multicast entries"
    expect_eq "$(count_lines "$T/d.out" '--> multicast_send_cb')" 1 "multicast_send_cb entries"
    expect_clean "$T/d.err"
    ;;
greeting)
    # No probe requests: the greeting is all that reaches the group, also
    # after three scans. At -v no report is printed as JSON.
    start_socat sock
    start_standin standin --wait 30 --linger 15
    start_daemon d -t 2 -T 7 -v
    wait_daemon d 60
    stop_socat
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    expect_eq "$(split_datagrams "$T/sock")" 1 "datagrams received"
    expect_eq "$(od -An -c "$T/sock.1" | tr -s ' \n' ' ')" ' H e l l o M A C r e c v e r ' \
        "greeting bytes"
    expect_file_lacks "$T/d.out" 'json['
    expect_clean "$T/d.err"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
finish
