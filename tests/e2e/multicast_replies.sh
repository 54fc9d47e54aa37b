#!/usr/bin/env bash
# Datagrams that come back to the daemon's own UDP port: three listeners
# answer the greeting and each report with their --reply bytes, and the
# daemon prints the first six bytes of each answer, zero-padded.
source "$E2E_LIB"
source "$(dirname "$0")/multicast_common.sh"
enter_sandbox "$@"

# start_listener NAME ARGS...: vorlask-listen in the background, ready once
# it has printed its "listening on" line.
start_listener() {
    local name=$1; shift
    "$LISTENER" "$@" >"$T/$name.out" 2>"$T/$name.err" &
    eval "${name}_PID=$!"
    STARTED_PIDS="${STARTED_PIDS:-} $!"
    wait_for "$T/$name.out" 'listening on ' 30 || cat "$T/$name.err"
}

cat >"$T/script" <<'SCRIPT'
0.3 00:1a:2b:3c:4d:5e 11:22:33:44:55:66 -45 1 2412 3
SCRIPT
# The greeting and the one report of the first scan: two datagrams each.
start_listener six --reply 0a0b0c0d0e0f --count 2 --timeout 30
start_listener three --reply 0A0B0C --count 2 --timeout 30
start_listener eight --reply 1122334455667788 --count 2 --timeout 30
start_standin standin --wait 30 --script "$T/script" --linger 12
start_daemon d -t 2 -T 5 -v
wait_daemon d 60
expect_eq "$DAEMON_STATUS" 0 "exit status"
for l in six three eight; do
    pid_var=${l}_PID
    wait "${!pid_var}"
    expect_eq "$?" 0 "listener $l exit status"
done

# Every answer shows once per greeting/report it answered.
expect_eq "$(count_lines "$T/d.out" ' 0a:0b:0c:0d:0e:0f')" 2 "six-byte answers"
expect_eq "$(count_lines "$T/d.out" ' 0a:0b:0c:00:00:00')" 2 "three-byte answers"
expect_eq "$(count_lines "$T/d.out" ' 11:22:33:44:55:66')" 2 "eight-byte answers"
expect_file_lacks "$T/d.out" '77:88'
# At -v each receive is traced; the allocation trace needs -vvv.
traces=$(count_lines "$T/d.err" '1 vorlask:769:udp_recv_cb(): ')
expect_between "$traces" 6 60 "udp_recv_cb traces"
expect_eq "$(grep -cvxF '1 vorlask:769:udp_recv_cb(): ' "$T/d.err" || true)" 0 \
    "other lines on stderr"
expect_file_lacks "$T/d.err" 'alloc_cb'

# The listeners saw the greeting, then the report, both from the daemon's one
# socket, and said what they answered.
for l in six three eight; do
    expect_eq "$(sed -n 2p "$T/$l.out" | cut -d' ' -f1-3)" "greeting HelloMACrecver from" \
        "$l first datagram"
    expect_eq "$(grep '^report ' "$T/$l.out" | cut -d' ' -f1-7)" \
        "report 00:1a:2b:3c:4d:5e ver 1 rssi -33 from" "$l report"
    from=$(awk '$1 == "greeting" || $1 == "report" { print $NF }' "$T/$l.out" | sort -u)
    expect_eq "$(echo "$from" | wc -l)" 1 "$l senders"
    expect_eq "${from%:*}" "$SANDBOX_ADDR" "$l sender address"
    expect_eq "$(count_lines "$T/$l.out" "reply ")" 2 "$l replies"
done
expect_file_has "$T/six.out" "reply 6 bytes to $from"
expect_file_has "$T/three.out" "reply 3 bytes to $from"
expect_file_has "$T/eight.out" "reply 8 bytes to $from"
expect_clean "$T/d.err"
finish
