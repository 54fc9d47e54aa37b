#!/usr/bin/env bash
# The daemon's spine: timed stop, SIGINT (and SIGTERM, SIGHUP), status lines
# only with -v, a port of 0 refused, and a scan interval of 0. The kernel
# stand-in keeps the daemon registered.
#   spine.sh timed|sigint|quiet|scan-once
source "$E2E_LIB"
enter_sandbox "$@"
case_name=${1:?case}

case "$case_name" in
timed)
    # -T 3: the stop is announced on the third tick, the summary follows
    # about 5 s later, status 0, and every worker has stopped before teardown.
    start_standin standin --wait 30 --linger 20
    start_daemon d -T 3 -v
    wait_daemon d 30
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    # Times from the first line, so that a slow start (valgrind) does not count.
    t0=$(time_of "$T/d.out" '10.200.0.9')
    expect_between "$(echo "$(time_of "$T/d.out" 'it will be stopped after 5 seconds ...') - $t0" | bc)" \
        2.5 4.2 "stop announced at"
    expect_between "$(echo "$(time_of "$T/d.out" '*** summary ***') - $t0" | bc)" 7.5 9.5 \
        "summary printed at"
    expect_order "$T/d.out" '10.200.0.9' '225.0.0.37' '--> worker_multicast' \
        'it will be stopped after 5 seconds ...' 'free and shutdown ...' '*** summary ***' \
        'total probes request found: 0' 'finally get a valid probe reqeust number: 0' 'shutdown ...'
    for line in 'worker_mac80211_mac_recv thread stopped ...' 'worker_scan thread stopped ...'; do
        expect_order "$T/d.out" 'it will be stopped after 5 seconds ...' "$line" 'free and shutdown ...'
    done
    expect_eq "$(count_lines "$T/d.out" '--> multicast_send_cb')" 1 "greeting completions"
    expect_clean "$T/d.err"
    ;;
sigint)
    # SIGINT, and SIGTERM and SIGHUP the same way: the stop line, a 5 s wait,
    # status 0, no summary, no teardown.
    for sig in INT TERM HUP; do
        start_standin standin --wait 30 --linger 20
        start_daemon "$sig" -v
        # Past start-up: the registration comes after the handlers are in place.
        wait_for "$T/standin.out" 'registered: port' 30
        kill -"$sig" "$DAEMON_PID"
        sent=$(echo "$EPOCHREALTIME - $DAEMON_START" | bc)
        wait_daemon "$sig" 20
        expect_eq "$DAEMON_STATUS" 0 "exit status after SIG$sig"
        expect_between "$(echo "$DAEMON_ELAPSED - $sent" | bc)" 4.9 7.5 "SIG$sig to exit"
        expect_order "$T/$sig.out" 'Caught a Ctrl-C (SIGINT) in a separate handler ...' \
            'Exiting ...' 'it will be stopped after 5 seconds ...'
        expect_file_lacks "$T/$sig.out" '*** summary ***'
        expect_file_lacks "$T/$sig.out" 'free and shutdown ...'
        expect_clean "$T/$sig.err"
        kill "$STANDIN_PID" 2>/dev/null
        wait "$STANDIN_PID" 2>/dev/null
    done
    ;;
quiet)
    # Without -v no status line appears, but the summary does.
    start_standin standin --wait 30 --linger 20
    start_daemon d -T 1
    wait_daemon d 20
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    expect_between "$DAEMON_ELAPSED" 5.5 8.5 "run time of -T 1"
    expect_file_has "$T/d.out" '*** summary ***'
    for line in 'it will be stopped after 5 seconds ...' 'free and shutdown ...' 'shutdown ...' \
        'thread stopped ...' ' - '; do
        expect_file_lacks "$T/d.out" "$line"
    done
    expect_clean "$T/d.err"
    # A port of 0 (here 65536, which wraps to 0) is refused before anything
    # runs: one line, status 1, nothing on stdout, not even the configuration.
    daemon_argv
    STATUS=0
    timeout 20 "${DAEMON[@]}" -T 1 -p 65536 >"$T/p0.out" 2>"$T/p0.err" || STATUS=$?
    expect_eq "$STATUS" 1 "exit status with port 0"
    expect_eq "$(wc -c <"$T/p0.out")" 0 "bytes on stdout with port 0"
    expect_eq "$(cat "$T/p0.err")" "-p:port 0 cannot be used." "stderr with port 0"
    ;;
scan-once)
    # -t 0: the scan fires once as the loop starts, with the table still
    # empty, and never again, so no row is printed before the summary and the
    # summary shows each station's whole count.
    cat >"$T/script" <<'SCRIPT'
0.5 02:00:00:00:00:01 02:00:00:00:00:aa -41 1 2412 3
1.5 02:00:00:00:00:01 02:00:00:00:00:aa -41 1 2412 3
SCRIPT
    start_standin standin --wait 30 --script "$T/script" --linger 20
    start_daemon d -t 0 -T 3 -R 0 -v
    wait_daemon d 30
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    rows_before=$(awk '/\*\*\* summary/ { exit } / 020000000001 - / { n++ } END { print n + 0 }' "$T/d.out")
    expect_eq "$rows_before" 0 "rows printed by scans"
    expect_file_has "$T/d.out" '020000000001 - 0200000000aa            -41        1       2412       6'
    expect_clean "$T/d.err"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
finish
