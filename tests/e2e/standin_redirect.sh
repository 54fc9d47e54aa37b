#!/usr/bin/env bash
# The port redirect preload and the kernel stand-in together, with the daemon
# binary as shipped:
#   registered     the daemon registers with the stand-in; the registration
#                  dump is the 32 expected bytes; scripted probes arrive
#   no-port        without VORLASK_KERNEL_PORT the preload changes nothing:
#                  the send is refused as with no kernel module
#   bad-port       a value that is no port id changes nothing either
#   no-daemon      the stand-in gives up after --wait
#   bad-script     a malformed script line ends the stand-in before it binds
source "$E2E_LIB"
enter_sandbox "$@"
case_name=${1:?case}

expected_registration='20 00 00 00 00 04 0b 03 01 00 00 00 00 00 00 00 0f 00 d2 04 48 65 6c 6c 6f 4b 65 72 6e 65 6c 00'
hex_of() { od -An -v -tx1 "$1" | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'; }

# refused NAME ENV...: the daemon with the preload and ENV, while a stand-in
# listens on KERNEL_PORT; the registration must be refused and not reach it.
refused() {
    local name=$1; shift
    start_standin standin --wait 3
    env "$@" LD_PRELOAD="$PORT_REDIRECT" timeout 20 "$VORLASK" -T 3 >"$T/$name.out" 2>"$T/$name.err"
    expect_eq "$?" 1 "$name: exit status"
    expect_eq "$(grep -v -E 'Sanitizer|^$' "$T/$name.err" | head -n 1)" \
        'mnl_socket_send: Connection refused' "$name: send error"
    wait "$STANDIN_PID"
    expect_eq "$?" 1 "$name: stand-in status"
    expect_eq "$(cat "$T/standin.err")" 'no registration within 3 s' "$name: stand-in stderr"
    expect_file_lacks "$T/standin.out" 'registered'
}

case "$case_name" in
registered)
    # One station probing three times, a 31-byte datagram (no record) and a
    # 64-byte one holding two messages (only the first is read).
    hdr=20000000000000000000000000000000
    cat >"$T/script" <<SCRIPT
0.2 00:1a:2b:3c:4d:5e 11:22:33:44:55:66 -45 1 2412 3
0.4 raw 1f${hdr:2} 02000000000b0b0c0d0e0fd9022409
0.6 raw ${hdr}02000000000c0b0c0d0e0fd902240900 ${hdr}0200000000dd0b0c0d0e0fd902240900
SCRIPT
    start_standin standin --wait 10 --script "$T/script" --dump-registration "$T/reg.bin" --linger 4
    start_daemon d -t 60 -T 2 -R 0 -v
    wait_daemon d 30
    expect_eq "$DAEMON_STATUS" 0 "daemon exit status"
    wait "$STANDIN_PID"
    expect_eq "$?" 0 "stand-in status"
    expect_eq "$(head -n 1 "$T/standin.out")" "registered: port $DAEMON_PID" \
        "port id taken from the sender"
    expect_eq "$(hex_of "$T/reg.bin")" "$expected_registration" "registration bytes"
    expect_eq "$(tail -n 1 "$T/standin.out")" 'sent 5 probe messages' "stand-in summary"
    expect_eq "$(cat "$T/standin.err")" '' "stand-in stderr"
    expect_file_has "$T/d.out" 'total probes request found: 2'
    # Summary rows: stamp, time, mac, "-", second mac, rssi, band, freq, count.
    awk '/\*\*\* summary/ { on = 1 } on && NF == 9 && $4 == "-" { print $3, $5, $6, $7, $8, $9 }' \
        "$T/d.out" >"$T/rows"
    expect_eq "$(cat "$T/rows" | tr '\n' ';')" \
        '001a2b3c4d5e 112233445566 -45 1 2412 3;02000000000c 0b0c0d0e0fd9 2 36 9 1;' "summary rows"
    expect_file_lacks "$T/d.out" '02000000000b'
    expect_file_lacks "$T/d.out" '0200000000dd'
    expect_clean "$T/d.err"
    ;;
no-port)
    refused no-port VORLASK_KERNEL_WAIT_MS=0
    ;;
bad-port)
    refused bad-port VORLASK_KERNEL_PORT=42x VORLASK_KERNEL_WAIT_MS=0
    ;;
no-daemon)
    "$STANDIN" --port "$KERNEL_PORT" --wait 1.5 >"$T/s.out" 2>"$T/s.err"
    expect_eq "$?" 1 "exit status"
    expect_eq "$(cat "$T/s.err")" 'no registration within 1.5 s' "stderr"
    expect_eq "$(cat "$T/s.out")" '' "stdout"
    ;;
bad-script)
    printf '0.1 00:00:00:00:00:01 00:00:00:00:00:02 -1 1 2412\n# fine so far\n0.2 raw 1f0\n' \
        >"$T/script"
    "$STANDIN" --port "$KERNEL_PORT" --wait 30 --script "$T/script" >"$T/s.out" 2>"$T/s.err" &
    pid=$!
    STARTED_PIDS="$pid"
    for i in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    wait "$pid"
    expect_eq "$?" 2 "exit status"
    expect_eq "$(cat "$T/s.err")" \
        "vorlask-kernel-standin: $T/script line 3: odd number of hex digits in raw datagram" "stderr"
    # It never bound: a registration finds nobody.
    env VORLASK_KERNEL_PORT="$KERNEL_PORT" VORLASK_KERNEL_WAIT_MS=0 LD_PRELOAD="$PORT_REDIRECT" \
        timeout 20 "$VORLASK" -T 3 >"$T/d.out" 2>"$T/d.err"
    expect_eq "$?" 1 "daemon exit status"
    expect_file_has "$T/d.err" 'mnl_socket_send: Connection refused'
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
finish
