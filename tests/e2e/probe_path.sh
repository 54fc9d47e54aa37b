#!/usr/bin/env bash
# The probe path end to end: kernel stand-in -> netlink -> queue -> table ->
# scan -> console rows and summary.
#   probe_path.sh refused|dump|scripted|flood
source "$E2E_LIB"
enter_sandbox "$@"
case_name=${1:?case}

# Rows of FILE without their timestamps, in order.
# Each line is "STAMP SECONDS.MILLIS MAC ...".
rows() {
    awk '$2 ~ /^[0-9]+\.[0-9][0-9][0-9]$/ && length($3) == 12 && $3 ~ /^[0-9a-f]+$/ {
        $1 = ""; $2 = ""; sub(/^ +/, ""); print }' "$1"
}

case "$case_name" in
refused)
    # Nothing listens on the kernel's end: the header, then the send error.
    "$VORLASK" -T 3 >"$T/d.out" 2>"$T/d.err"
    expect_eq "$?" 1 "exit status"
    # The header's pieces come from the channel's thread, the greeting's entry
    # line from another, which may print between two pieces.
    expect_file_has "$T/d.out" 'Timestamp         MAC                     '
    expect_file_has "$T/d.out" '+-----------------+-----------------------'
    expect_eq "$(grep -v -E 'Sanitizer|^$' "$T/d.err" | head -n 1)" 'mnl_socket_send: Connection refused' \
        "send error"
    expect_clean "$T/d.err"
    ;;
dump)
    # At -vvvv every datagram is dumped, short ones too; three sent at once
    # arrive in order.
    cat >"$T/script" <<'SCRIPT'
0.3 02:00:00:00:00:01 0a:00:00:00:00:01 -30 1 2412
0.3 02:00:00:00:00:02 0a:00:00:00:00:02 -31 1 2437
0.3 02:00:00:00:00:03 0a:00:00:00:00:03 -32 1 2462
0.6 raw 1f000000000000000000000000000000020000000000ff0000000000000000
SCRIPT
    start_standin standin --wait 30 --script "$T/script" --linger 10
    start_daemon d -T 2 -t 1 -R 0 -vvvv
    wait_daemon d 30
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    dumps=$(grep -c -E '^[0-9.]+ 00000000 ' "$T/d.out")
    expect_eq "$dumps" 4 "datagrams dumped"
    expect_file_has "$T/d.out" '00000010       02000000 00010a00 00000001 e2016c09'
    expect_order "$T/d.out" '00000010       02000000 00010a00' '00000010       02000000 00020a00' \
        '00000010       02000000 00030a00' '00000010       02000000 0000ff00 00000000 000000'
    expect_eq "$(rows "$T/d.out" | head -n 3 | cut -c1-12 | tr '\n' ' ')" \
        '020000000001 020000000002 020000000003 ' "rows in arrival order"
    expect_eq "$(rows "$T/d.out" | grep -c '^020000000000 ' || true)" 0 "row for the short datagram"
    ;;
scripted)
    # Three scans 2 s apart with randommax 2: a stable station kept at each,
    # one-off and slow addresses dropped, a late station kept at the last.
    cat >"$T/script" <<'SCRIPT'
# offset  mac               second_mac        rssi band freq repeat
0.3 00:1a:2b:3c:4d:5e 11:22:33:44:55:66 -45 1 2412 3
0.5 02:aa:00:00:00:01 11:22:33:44:55:66 -70 1 2412
0.6 00:1a:2b:3c:4d:60 11:22:33:44:55:66 -5 2 5180
2.5 00:1a:2b:3c:4d:5e 11:22:33:44:55:66 -99 3 9999 2
2.6 00:1a:2b:3c:4d:60 11:22:33:44:55:66 -5 2 5180
4.5 00:1a:2b:3c:4d:5e 11:22:33:44:55:66 -45 1 2412 3
4.8 00:1a:2b:3c:4d:61 0a:0b:0c:0d:0e:0f -60 2 5745 2
SCRIPT
    start_standin standin --wait 30 --script "$T/script" --linger 1
    start_daemon d -t 2 -T 7 -v
    # Meanwhile user nobody sends well-formed probe messages of its own:
    # straight to the daemon's port (the kernel refuses them: the socket
    # takes only the kernel's), and to a netlink group that the daemon's
    # socket has been added to here (they arrive and are counted, not taken).
    # The rows below show none of them.
    for _ in $(seq 200); do grep -q registered "$T/standin.out" && break; sleep 0.05; done
    tools=$(dirname "$(readlink -f "$0")")/fault_tools.py
    spoof() { setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 - nl-send \
        --count 5 --prefix 02deadbeef "$@" <"$tools"; }
    spoof --to "$(python3 "$tools" nl-port "$DAEMON_PID")" >"$T/spoof.out" 2>&1
    python3 "$tools" nl-join "$DAEMON_PID" 1 >"$T/join.out" 2>&1
    spoof --group 1 >>"$T/spoof.out" 2>&1
    expect_eq "$(tr '\n' ';' <"$T/spoof.out")" \
        'sent 0 probe messages;send failures 5;sent 5 probe messages;' "the spoofer's sends"
    wait_daemon d 30
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    rows "$T/d.out" >"$T/rows"
    cat >"$T/expected" <<'ROWS'
001a2b3c4d5e - 112233445566 -45 1 2412 3
001a2b3c4d5e - 112233445566 -45 1 2412 2
001a2b3c4d5e - 112233445566 -45 1 2412 3
001a2b3c4d61 - 0a0b0c0d0e0f -60 2 5745 2
001a2b3c4d5e - 112233445566 -45 1 2412 0
001a2b3c4d61 - 0a0b0c0d0e0f -60 2 5745 0
ROWS
    if diff "$T/rows" "$T/expected" >"$T/rows.diff"; then pass; else fail "rows differ: $(cat "$T/rows.diff")"; fi
    expect_eq "$(awk 'match($0, /: [0-9]+ netlink messages not from the kernel/) {
        n += substr($0, RSTART + 2) } END { print n + 0 }' \
        "$T/d.out")" 5 "turned away as not from the kernel"
    expect_order "$T/d.out" '*** summary ***' 'total probes request found: 2' \
        'To remove some random address, and get a valid address list:' 'Timestamp' '+---' \
        '001a2b3c4d5e' '001a2b3c4d61' 'finally get a valid probe reqeust number: 2'
    expect_file_has "$T/standin.out" 'sent 13 probe messages'
    expect_clean "$T/d.err"
    ;;
flood)
    # A flood of never-repeated addresses far beyond what the daemon can fold
    # (the stand-in tries 400,000 a second for 5 s; most are refused by the
    # full socket) leaves it running and answering: every scan still reports
    # stable stations (only they: flood addresses are heard once and
    # dropped), a listener's replies are still printed, what the full table
    # turned away is said, and the summary is consistent.
    "$LISTENER" --reply 0a0b0c0d0e0f --timeout 35 >"$T/listener.out" 2>&1 &
    STARTED_PIDS="${STARTED_PIDS:-} $!"
    wait_for "$T/listener.out" 'listening on' 30
    # Two scans before the flood (at 2 and 4 s), which starts at 4 s and
    # ends at 9 s. Its backlog is still folded for a while after it ends; a
    # sanitizer build on a loaded machine took more than 5 s, so its run goes
    # on longer for the stations to come back.
    run=14
    [ -n "${VORLASK_SANITIZER:-}" ] && run=22
    start_standin standin --wait 30 --duration "$run" --stable 5 --stable-rate 4 \
        --flood 400000 --flood-start 4 --flood-secs 5 --linger 1
    start_daemon d -t 2 -T "$run" -v
    wait_daemon d 60
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    summary_line=$(grep -n -F '*** summary ***' "$T/d.out" | cut -d: -f1)
    head -n "${summary_line:-0}" "$T/d.out" >"$T/scans"
    rows "$T/scans" | awk '{ print $1 }' | sort -u >"$T/stations"
    expect_between "$(wc -l <"$T/stations")" 1 5 "distinct stations kept by the scans"
    expect_eq "$(rows "$T/scans" | awk '{ print $3 }' | sort -u | tr '\n' ' ')" '0272e2338aca ' \
        "only generated stable stations kept"
    # Before the flood and once it is over: a station dropped while its
    # probes were lost in the flood, and turned away while the flood's
    # addresses still fill the table, is back after a scan clears them.
    n=$(awk '$1 < 4.9 && length($3) == 12' "$T/scans" | wc -l)
    expect_between "$n" 1 10 "rows of the scans at 2 and 4 s"
    n=$(awk '$1 >= 12 && length($3) == 12' "$T/scans" | wc -l)
    expect_between "$n" 1 $((5 * run)) "rows of the scans from 12 s on"
    expect_file_has "$T/scans" 'turned away since the last scan:'
    expect_between "$(grep -c -E '^[0-9.]+ 0a:0b:0c:0d:0e:0f$' "$T/d.out")" 5 60 "replies printed"
    total=$(awk '/total probes request found:/ { print $NF }' "$T/d.out")
    valid=$(awk '/finally get a valid probe reqeust number:/ { print $NF }' "$T/d.out")
    listed=$(tail -n +"${summary_line:-1}" "$T/d.out" | rows /dev/stdin | wc -l)
    expect_eq "$listed" "${valid:-x}" "summary rows against its final number"
    expect_between "${total:-x}" "${valid:-0}" 100000 "entries in the summary"
    expect_clean "$T/d.err"
    cat "$T/standin.out"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
finish
