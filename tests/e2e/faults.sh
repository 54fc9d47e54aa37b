#!/usr/bin/env bash
# Fault runs: the daemon under faults that a router meets, each checked for a
# daemon that keeps running and answering, takes in nothing it should refuse,
# and ends with a consistent summary (or, after Ctrl-C, with none).
#   faults.sh standin-restart|route|reply-flood|sigint-scan|sigint-twice|
#             sigint-early|overrun-standin|overrun-kernel|overrun-enobufs|
#             detached-stdout-closed|config-permission|config-directory|config-fifo
#
# The daemon's netlink socket is found in /proc/net/netlink and its UDP port
# in /proc/net/udp (tests/e2e/fault_tools.py), both of the sandbox only.
source "$E2E_LIB"
case_name=${1:?case}
if [ "$case_name" = detached-stdout-closed ]; then
    # Its own pid namespace inside the sandbox: every vorlask it sees is its own.
    if [ -z "${SANDBOX_ADDR:-}" ]; then
        enter_sandbox "$@"
    fi
    if [ "${E2E_PID_NAMESPACE:-}" != 1 ]; then
        E2E_PID_NAMESPACE=1 exec unshare --pid --fork --mount-proc bash "$0" "$@"
    fi
fi
enter_sandbox "$@"
FT=(python3 "$(dirname "$(readlink -f "$0")")/fault_tools.py")

# Seconds since the daemon was started.
now() { echo "$EPOCHREALTIME - $DAEMON_START" | bc; }
# sleep_until SECONDS: until that long after the daemon was started.
sleep_until() {
    local left
    left=$(echo "$1 - ($EPOCHREALTIME - $DAEMON_START)" | bc)
    if [ "$(echo "$left > 0" | bc)" = 1 ]; then sleep "$left"; fi
}
# Console rows of FILE printed within [FROM, TO) seconds, without the stamp:
# "SECONDS.MILLIS MAC ..." (at -v: "... MAC - SECOND_MAC RSSI BAND FREQ DELTA").
rows_between() {
    awk -v from="$2" -v to="$3" '$1 >= from && $1 < to && $2 ~ /^[0-9]+\.[0-9][0-9][0-9]$/ &&
        length($3) == 12 && $3 ~ /^[0-9a-f]+$/ { $1 = ""; sub(/^ +/, ""); print }' "$1"
}
rows_of() { rows_between "$1" 0 1000000; }
# Sum of the last column (the delta at -v) of the rows on standard input whose
# address starts with PREFIX.
delta_sum() { awk -v p="$1" 'index($2, p) == 1 { s += $NF } END { print s + 0 }'; }
# The summary part of FILE, from its title on.
summary_of() { awk 'index($0, "*** summary ***") { on = 1 } on' "$1"; }
# The summary's numbers agree with its rows: SUMMARY-FILE TOTAL FINAL.
expect_summary() {
    summary_of "$1" >"$T/summary"
    expect_eq "$(awk '/total probes request found:/ { print $NF }' "$T/summary")" "$2" "summary total"
    expect_eq "$(awk '/finally get a valid probe reqeust number:/ { print $NF }' "$T/summary")" \
        "$3" "summary final number"
    expect_eq "$(rows_of "$T/summary" | wc -l)" "$3" "summary rows"
}
# MAC lines the daemon printed for datagrams that reached its UDP port.
mac_lines() {
    awk 'NF == 2 && length($2) == 17 && $2 ~ /^[0-9a-f][0-9a-f](:[0-9a-f][0-9a-f])*$/ { print $2 }' "$1"
}
start_listener() {
    local name=$1; shift
    "$LISTENER" "$@" > >(stamp_lines "$DAEMON_START" >"$T/$name.out") 2>"$T/$name.err" &
    STARTED_PIDS="${STARTED_PIDS:-} $!"
    wait_for "$T/$name.out" ' listening on ' 30 || cat "$T/$name.err"
}
# run_config_case NAME ARGS...: the daemon in the foreground (at most 20 s),
# with its status in STATUS and its run time in ELAPSED.
run_config_case() {
    local name=$1; shift
    local start=$EPOCHREALTIME
    STATUS=0
    timeout 20 "$@" >"$T/$name.out" 2>"$T/$name.err" || STATUS=$?
    ELAPSED=$(echo "$EPOCHREALTIME - $start" | bc)
}

case "$case_name" in
standin-restart)
    # The kernel end goes away in the middle of a run and comes back. The
    # daemon is not told (netlink has no connection to lose): it runs on,
    # its scans drop the stations it no longer hears and it still prints
    # what reaches its UDP port. A restarted stand-in waits for a
    # registration that never comes, since the daemon registers once; a
    # kernel end that knows the daemon's port id reaches it again.
    start_standin s1 --wait 30 --duration 30 --stable 3 --stable-rate 4 --linger 5
    start_daemon d -t 3 -T 13 -v
    wait_for "$T/s1.out" 'registered: port' 20 || { finish; exit; }
    start_listener listener --reply 0a0b0c0d0e0f --timeout 25
    sleep_until 5
    kill -KILL "$STANDIN_PID"
    wait "$STANDIN_PID" 2>/dev/null
    killed_at=$(now)
    read -r udp_port _ < <("${FT[@]}" udp-port "$DAEMON_PID")
    sleep_until 7
    "${FT[@]}" udp-flood --to "10.200.0.1:$udp_port" --count 3 --max-len 20 --expect "$T/pings" \
        >/dev/null
    start_standin s2 --wait 2 --stable 3 --duration 5
    nl_port=$("${FT[@]}" nl-port "$DAEMON_PID")
    # It gives up after its 2 s and frees the port id that the sends use.
    wait "$STANDIN_PID"
    expect_eq "$?" 1 "restarted stand-in's status"
    sleep_until 10
    # Two stations, twenty messages each, and five short datagrams (31 bytes)
    # that must give no entry; sent from the stand-in's port id.
    "${FT[@]}" nl-send --from "$KERNEL_PORT" --to "$nl_port" --stations 2 --count 40 --short 5 \
        --prefix 0260 >"$T/send.out"
    expect_file_has "$T/s2.err" 'no registration within 2 s'
    wait_daemon d 40
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    expect_between "$killed_at" 4.5 7 "stand-in killed at"
    expect_between "$(rows_between "$T/d.out" 2.5 4 | wc -l)" 1 3 "rows of the scan at 3 s"
    expect_between "$(rows_between "$T/d.out" 5.5 7 | wc -l)" 1 3 "rows of the scan at 6 s"
    expect_eq "$(rows_between "$T/d.out" 8.5 10 | wc -l)" 0 "rows of the scan at 9 s"
    expect_eq "$(rows_between "$T/d.out" 11.5 13 | awk '{ $1 = ""; print }' | tr '\n' '|')" \
        ' 026000000000 - 0a0000000001 -40 1 2412 20| 026000000001 - 0a0000000001 -40 1 2412 20|' \
        "rows of the scan at 12 s"
    expect_file_has "$T/send.out" 'sent 40 probe messages'
    expect_file_lacks "$T/d.out" '0260ffffffff'
    mac_lines "$T/d.out" | grep -v '^0a:0b:0c:0d:0e:0f$' >"$T/printed" || true
    expect_eq "$(sort "$T/printed" | tr '\n' ' ')" "$(sort "$T/pings" | tr '\n' ' ')" \
        "datagrams printed while no kernel end was there"
    expect_between "$(count_lines "$T/d.out" ' 0a:0b:0c:0d:0e:0f')" 2 40 "listener replies printed"
    expect_summary "$T/d.out" 2 2
    expect_clean "$T/d.err"
    ;;
route)
    # The multicast route goes away for four seconds while every scan sends
    # reports: the sends fail (the namespace counts them as without a
    # route), the scans go on, and reports reach the group again once the
    # route is back. The send requests of the failed sends are freed like
    # any other (the sanitizer builds check for leaks at the timed stop).
    no_routes() { awk '/^Ip: [0-9]/ { print $13 }' /proc/net/snmp; }
    start_standin s --wait 30 --duration 30 --stable 2 --stable-rate 4 --linger 5
    start_daemon d -t 1 -T 12 -v
    start_listener listener --timeout 25
    wait_for "$T/s.out" 'registered: port' 20 || { finish; exit; }
    sleep_until 4.5
    before=$(no_routes)
    ip route del default
    sleep_until 8.5
    ip route add default via 10.200.0.2 dev vsb0
    after=$(no_routes)
    wait_daemon d 40
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    reports() { awk -v from="$1" -v to="$2" '$1 >= from && $1 < to && $2 == "report"' \
        "$T/listener.out" | wc -l; }
    expect_between "$(reports 1.5 4.4)" 2 6 "reports before the route went"
    expect_eq "$(reports 4.7 8.4)" 0 "reports without a route"
    expect_between "$(reports 9.5 12.4)" 2 6 "reports after the route came back"
    expect_between "$((after - before))" 6 10 "sends without a route"
    for at in 5 6 7 8; do
        expect_eq "$(rows_between "$T/d.out" "$at" "$at.9" | wc -l)" 2 "rows of the scan at $at s"
    done
    expect_summary "$T/d.out" 2 2
    expect_clean "$T/d.err"
    ;;
reply-flood)
    # 100,000 datagrams of random length 0 to 65,507 bytes to the daemon's
    # UDP port during the scans: each that the socket took prints one line
    # with its first six bytes (zero-padded), the socket's drop count says
    # how many it could not take, and the scans and the listener's replies
    # go on. The table takes in nothing from them.
    start_standin s --wait 30 --duration 30 --stable 3 --stable-rate 4 --linger 5
    start_daemon d -t 2 -T 16
    start_listener listener --reply 0a0b0c0d0e0f --timeout 25
    wait_for "$T/s.out" 'registered: port' 20 || { finish; exit; }
    read -r udp_port drops_before < <("${FT[@]}" udp-port "$DAEMON_PID")
    flood_start=$(now)
    "${FT[@]}" udp-flood --to "10.200.0.1:$udp_port" --count 100000 --seconds 9 \
        --expect "$T/expected" >"$T/flood.out"
    flood_end=$(now)
    # The drop count is final once the daemon has read what its socket took.
    wait_until 20 "the daemon's UDP socket read empty" "${FT[@]}" drained udp "$DAEMON_PID"
    read -r _ drops_after < <("${FT[@]}" udp-port "$DAEMON_PID")
    wait_daemon d 40
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    sent=$(awk '/^sent/ { print $2 }' "$T/flood.out")
    expect_between "${sent:-0}" 20000 100000 "datagrams sent"
    mac_lines "$T/d.out" | grep -v '^0a:0b:0c:0d:0e:0f$' | sort >"$T/printed"
    # Every datagram the socket took is printed. The socket's drop count (from
    # /proc/net/udp) was once, under ThreadSanitizer, one more than the
    # datagrams that went unprinted, so it is taken as a bound.
    printed=$(wc -l <"$T/printed")
    expect_between "$printed" "$((sent - (drops_after - drops_before)))" "$sent" \
        "lines printed against datagrams sent less the socket's drops"
    sort "$T/expected" >"$T/expected.sorted"
    expect_eq "$(comm -13 "$T/expected.sorted" "$T/printed" | wc -l)" 0 \
        "lines printed that no datagram sent"
    for at in $(seq 4 2 14); do
        expect_between "$(rows_between "$T/d.out" "$at" "$at.9" | wc -l)" 1 3 \
            "rows of the scan at $at s (flood from $flood_start s to $flood_end s)"
    done
    expect_between "$(count_lines "$T/d.out" ' 0a:0b:0c:0d:0e:0f')" 5 60 "listener replies printed"
    summary_of "$T/d.out" >"$T/summary"
    expect_between "$(awk '/total probes request found:/ { print $NF }' "$T/summary")" 0 3 \
        "summary total"
    expect_eq "$(rows_of "$T/summary" | wc -l)" \
        "$(awk '/finally get a valid probe reqeust number:/ { print $NF }' "$T/summary")" \
        "summary rows against its final number"
    expect_clean "$T/d.err"
    echo "flood: $printed printed of $sent sent from $flood_start s to $flood_end s, $((drops_after - drops_before)) dropped by the socket"
    ;;
sigint-scan)
    # Ctrl-C while a scan walks 100,000 entries (randommax 0: every entry is
    # printed and reported). The scan holds the table; the tick does not
    # wait for it, so the stop comes at the next tick and the process ends
    # 5 s later with status 0, with no summary. A slow machine is still in
    # the middle of the rows then; a fast one has printed them all.
    start_standin s --wait 30 --random 100000 --duration 2 --send-timeout 1000 --linger 1
    start_daemon d -t 5 -R 0 -v
    wait_for "$T/s.out" 'sent 100000 probe messages' 30 || { finish; exit; }
    for _ in $(seq 400); do
        [ "$(rows_of "$T/d.out" | wc -l)" -ge 500 ] && break
        sleep 0.05
    done
    sigint_at=$(now)
    kill -INT "$DAEMON_PID"
    wait_daemon d 30
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    rows=$(rows_of "$T/d.out" | wc -l)
    expect_between "$rows" 500 100000 "rows printed before the end"
    expect_between "$(rows_between "$T/d.out" "$sigint_at" 1000 | wc -l)" 1 99999 \
        "rows printed after Ctrl-C"
    expect_file_lacks "$T/s.out" 'send failures'
    stop_at=$(time_of "$T/d.out" 'it will be stopped after 5 seconds ...')
    expect_between "$(echo "${stop_at:-0} - $sigint_at" | bc)" 0 2.5 "stop announced after Ctrl-C"
    expect_between "$(echo "$DAEMON_ELAPSED - $sigint_at" | bc)" 5 8 "end after Ctrl-C"
    expect_eq "$(count_lines "$T/d.out" 'Caught a Ctrl-C (SIGINT) in a separate handler ...')" 1 \
        "Ctrl-C lines"
    expect_file_lacks "$T/d.out" '*** summary ***'
    expect_file_lacks "$T/d.out" 'free and shutdown ...'
    expect_clean "$T/d.err"
    echo "rows: $rows printed, Ctrl-C at $sigint_at s, end at $DAEMON_ELAPSED s"
    ;;
sigint-twice)
    # Two Ctrl-C in quick succession and a third during the 5 s wait: each
    # prints its two lines and the first tick after them stops the run once.
    # The wait is one sleep that a signal cuts short and that is not
    # resumed, so the third Ctrl-C ends the process at once, still with 0.
    start_standin s --wait 30 --duration 30 --stable 2 --stable-rate 4 --linger 5
    start_daemon d -t 1 -v
    wait_for "$T/s.out" 'registered: port' 20 || { finish; exit; }
    sleep_until 3.2
    sigint_at=$(now)
    kill -INT "$DAEMON_PID"
    # The second once the first is handled (two signals pending at once
    # would be taken as one), well before the tick at 4 s.
    first_handled() { [ "$(count_lines "$T/d.out" 'Caught a Ctrl-C (SIGINT)')" -ge 1 ]; }
    wait_until 10 "the first Ctrl-C's line" first_handled
    kill -INT "$DAEMON_PID"
    sleep_until 6.5
    third_at=$(now)
    kill -INT "$DAEMON_PID"
    wait_daemon d 30
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    expect_eq "$(count_lines "$T/d.out" 'Caught a Ctrl-C (SIGINT) in a separate handler ...')" 3 \
        "Ctrl-C lines"
    expect_eq "$(count_lines "$T/d.out" 'Exiting ...')" 3 "exiting lines"
    expect_eq "$(count_lines "$T/d.out" 'it will be stopped after 5 seconds ...')" 1 "stop lines"
    stop_at=$(time_of "$T/d.out" 'it will be stopped after 5 seconds ...')
    expect_between "$(echo "$stop_at - $sigint_at" | bc)" 0 2.2 "stop line after the first Ctrl-C"
    expect_between "$(echo "$DAEMON_ELAPSED - $third_at" | bc)" 0 2 "end after the third Ctrl-C"
    expect_eq "$(rows_between "$T/d.out" 1.5 3 | wc -l)" 2 "rows of the scan at 2 s"
    expect_file_lacks "$T/d.out" '*** summary ***'
    expect_clean "$T/d.err"
    ;;
sigint-early)
    # Ctrl-C while start-up is still in its configuration step: standard
    # output is a full pipe, so the daemon is held writing the first value.
    # The handler's lines come before the two values, start-up goes on, and
    # the first tick stops the run, with no scan and no summary.
    start_standin s --wait 60 --duration 30 --stable 1 --linger 5
    mkfifo "$T/stdout.fifo"
    exec 7<>"$T/stdout.fifo"
    filler=$(printf '%4095s' '')
    for _ in $(seq 16); do printf '%s\n' "$filler" >&7; done  # 64 KiB: the pipe is full
    daemon_argv
    DAEMON_START=$EPOCHREALTIME
    "${DAEMON[@]}" -t 60 -v >&7 2>"$T/d.err" 7>&- &
    DAEMON_PID=$!
    STARTED_PIDS="${STARTED_PIDS:-} $DAEMON_PID"
    for _ in $(seq 500); do
        case "$(cat "/proc/$DAEMON_PID/wchan" 2>/dev/null)" in *pipe_write) break ;; esac
        sleep 0.01
    done
    # The kernel's name of the wait: pipe_write, or anon_pipe_write.
    expect_eq "$(sed 's/^anon_//' "/proc/$DAEMON_PID/wchan" 2>/dev/null)" pipe_write \
        "held writing the first value"
    sigint_at=$(now)
    kill -INT "$DAEMON_PID"
    # The pipe is read only once the Ctrl-C has been delivered (no longer
    # pending in /proc/PID/status).
    sigint_delivered() {
        local v
        for v in $(awk '/^(SigPnd|ShdPnd):/ { print $2 }' "/proc/$DAEMON_PID/status"); do
            [ $((16#$v & 2)) -eq 0 ] || return 1
        done
    }
    wait_until 10 "the Ctrl-C delivered" sigint_delivered
    # Everything after the filler, stamped as it comes.
    {
        { dd bs=65536 count=1 iflag=fullblock of=/dev/null status=none && cat; } <"$T/stdout.fifo" |
            stamp_lines "$DAEMON_START" >"$T/d.out"
    } 7>&- &
    reader=$!
    exec 7>&-
    DAEMON_STATUS=0
    wait "$DAEMON_PID" || DAEMON_STATUS=$?
    DAEMON_ELAPSED=$(now)
    wait "$reader"
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    if [ "${VORLASK_SANITIZER:-}" = tsan ]; then
        # ThreadSanitizer runs a handler only once the interrupted write has
        # returned: the lines come after the first value, before the second.
        expect_order "$T/d.out" '10.200.0.9' 'Caught a Ctrl-C (SIGINT) in a separate handler ...' \
            'Exiting ...' '225.0.0.37' 'it will be stopped after 5 seconds ...'
    else
        expect_order "$T/d.out" 'Caught a Ctrl-C (SIGINT) in a separate handler ...' 'Exiting ...' \
            '10.200.0.9' '225.0.0.37' 'it will be stopped after 5 seconds ...'
    fi
    values_at=$(time_of "$T/d.out" '225.0.0.37')
    stop_at=$(time_of "$T/d.out" 'it will be stopped after 5 seconds ...')
    # The rest of start-up, then the first 1 s tick: 3.8 s once under a
    # sanitizer on a loaded machine. Without the Ctrl-C there is no stop.
    expect_between "$(echo "$stop_at - $values_at" | bc)" 0.5 8 "stop after the values"
    expect_between "$(echo "$DAEMON_ELAPSED - $stop_at" | bc)" 4.9 7 "end after the stop line"
    expect_eq "$(rows_of "$T/d.out" | wc -l)" 0 "rows"
    expect_file_lacks "$T/d.out" '*** summary ***'
    expect_clean "$T/d.err"
    echo "Ctrl-C at $sigint_at s, values at $values_at s, stop line at $stop_at s"
    ;;
overrun-standin)
    # A burst of 4,000 messages while the daemon is stopped (SIGSTOP): the
    # socket's receive queue fills and a user-space sender's sends fail at
    # once (EAGAIN), so the stand-in counts what was lost ("send failures")
    # and the kernel counts no overrun. After SIGCONT the daemon folds all
    # that did arrive: sent = folded, and it says nothing of a kernel loss.
    {
        for n in 1 2 3 4; do echo "1.5 02:51:00:00:00:0$n 0a:00:00:00:00:01 -40 1 2412 1000"; done
    } >"$T/script"
    start_standin s --wait 30 --script "$T/script" --linger 1
    start_daemon d -t 4 -R 0 -T 9 -v
    wait_for "$T/s.out" 'registered: port' 20 || { finish; exit; }
    kill -STOP "$DAEMON_PID"
    # The stand-in says what it sent once its burst is over and it ends.
    wait_for "$T/s.out" 'probe messages' 30
    kill -CONT "$DAEMON_PID"
    wait "$STANDIN_PID"
    wait_daemon d 40
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    sent=$(awk '/^sent/ { print $2 }' "$T/s.out")
    refused=$(awk '/^send failures/ { print $3 }' "$T/s.out")
    expect_eq "$((sent + ${refused:-0}))" 4000 "sent and refused"
    expect_between "${refused:-0}" 1 3999 "sends refused by the full socket"
    expect_eq "$(rows_of "$T/d.out" | delta_sum 025100)" "$sent" "folded (row deltas)"
    expect_file_lacks "$T/d.out" 'lost in the kernel'
    # Messages go out station by station: the ones that arrived name 1 to 4.
    stations=$(rows_of "$T/d.out" | awk '{ print $2 }' | sort -u | wc -l)
    expect_between "$stations" 1 4 "stations heard"
    expect_summary "$T/d.out" "$stations" "$stations"
    expect_clean "$T/d.err"
    echo "burst: $sent arrived, ${refused:-0} refused"
    ;;
overrun-kernel | overrun-enobufs)
    # A real overrun of the daemon's receive queue, counted by the kernel.
    # The kernel counts one (and, unless told not to, raises ENOBUFS on the
    # socket) only for what the kernel itself delivers; for a user-space
    # sender's unicast it refuses the send instead. Multicast delivery is
    # the kernel's, so the daemon's socket is added to a netlink group
    # through a duplicate of its descriptor, and 5,000 messages go to that
    # group while the daemon is stopped. With overrun-enobufs the socket
    # reports the overrun as an error, which takes the daemon's error
    # wake-up path (libuv stops watching the socket; the daemon reads on and
    # watches it again). Either way the next scan says how many the kernel
    # dropped, what arrived is all folded, and 200 more sent after the
    # overrun all arrive.
    printf '0.2 02:54:00:00:00:01 0a:00:00:00:00:01 -40 1 2412 1\n' >"$T/script"
    start_standin s --wait 30 --script "$T/script" --linger 1
    start_daemon d -t 3 -R 0 -T 10 -v
    wait_for "$T/s.out" 'registered: port' 20 || { finish; exit; }
    extra=()
    [ "$case_name" = overrun-enobufs ] && extra=(--enobufs)
    "${FT[@]}" nl-join "$DAEMON_PID" 1 "${extra[@]}" >"$T/join.out" 2>&1
    expect_file_has "$T/join.out" 'joined group 1'
    # The messages are sent from the stand-in's port, once it has ended, so
    # that they pass for the kernel's.
    wait "$STANDIN_PID"
    sleep_until 3.5
    kill -STOP "$DAEMON_PID"
    "${FT[@]}" nl-send --group 1 --from "$KERNEL_PORT" --stations 20 --count 5000 --prefix 0252 \
        >"$T/burst.out"
    kill -CONT "$DAEMON_PID"
    sleep_until 5
    # The 200 must all fit: the daemon has read what the burst left first.
    wait_until 20 "the daemon's netlink socket read empty" "${FT[@]}" drained nl "$DAEMON_PID"
    "${FT[@]}" nl-send --group 1 --from "$KERNEL_PORT" --stations 20 --count 200 --prefix 0253 \
        >"$T/after.out"
    wait_daemon d 40
    expect_eq "$DAEMON_STATUS" 0 "exit status"
    expect_file_has "$T/burst.out" 'sent 5000 probe messages'
    lost=$(awk '/lost in the kernel since the last scan:/ { s += $(NF - 5) } END { print s + 0 }' \
        "$T/d.out")
    expect_between "$lost" 1 4999 "dropped by the kernel, as the scans say"
    expect_eq "$(rows_of "$T/d.out" | delta_sum 025200)" "$((5000 - lost))" \
        "folded from the burst (row deltas)"
    expect_eq "$(rows_of "$T/d.out" | delta_sum 025300)" 200 "folded after the overrun"
    expect_summary "$T/d.out" 41 41
    expect_clean "$T/d.err"
    echo "overrun: $lost of 5000 dropped by the kernel"
    ;;
detached-stdout-closed)
    # -D with standard output already closed: the values cannot be printed,
    # the parent still ends with 0 once the child has started up, and the
    # child reopens 0, 1 and 2 on /dev/null, registers, reports to the group
    # and ends at its -T stop.
    DAEMON_START=$EPOCHREALTIME
    start_standin s --wait 30 --duration 20 --stable 2 --stable-rate 4 --linger 2
    start_listener listener --timeout 25
    daemon_argv
    status=0
    (exec >&- && exec timeout 10 "${DAEMON[@]}" -D -t 1 -T 5) 2>"$T/parent.err" || status=$?
    expect_eq "$status" 0 "parent's status"
    expect_eq "$(grep -cv Sanitizer "$T/parent.err")" 0 "parent's standard error"
    child=$(pgrep -x vorlask | head -n 1)
    expect_eq "$([ -n "$child" ] && echo running)" running "child"
    [ -n "$child" ] && expect_eq "$(readlink "/proc/$child/fd/1")" /dev/null "child's descriptor 1"
    wait_for "$T/s.out" 'registered: port' 20
    gone=0
    for _ in $(seq 300); do
        if ! pgrep -x vorlask >/dev/null; then gone=1; break; fi
        sleep 0.1
    done
    expect_eq "$gone" 1 "child ended by its timed stop"
    expect_between "$(echo "$EPOCHREALTIME - $DAEMON_START" | bc)" 9 20 "child's run"
    expect_between "$(awk '$2 == "report"' "$T/listener.out" | wc -l)" 4 12 "reports of the child"
    ;;
config-permission)
    # Unreadable to the unprivileged user the daemon runs as: start-up stops
    # at once, says why, prints no value. The same file made readable lets
    # the same user start.
    chmod 600 /etc/vorlask.conf
    daemon_argv
    start_standin s --wait 30 --duration 3 --stable 1 --linger 1
    run_config_case d setpriv --reuid=65534 --regid=65534 --clear-groups "${DAEMON[@]}" -T 1
    expect_eq "$STATUS" 1 "status"
    expect_between "$ELAPSED" 0 3 "time to refuse"
    expect_file_has "$T/d.err" \
        'vorlask: /etc/vorlask.conf: section [server] has no key ucast_addr (cannot read the file: Permission denied)'
    expect_file_lacks "$T/d.out" '10.200.0.9'
    chmod 644 /etc/vorlask.conf
    run_config_case ok setpriv --reuid=65534 --regid=65534 --clear-groups "${DAEMON[@]}" -T 1
    expect_eq "$STATUS" 0 "status once readable"
    expect_eq "$(head -n 2 "$T/ok.out" | tr '\n' ' ')" '10.200.0.9 225.0.0.37 ' "values once readable"
    ;;
config-directory | config-fifo)
    # A directory, or a FIFO that no one ever writes: not a regular file, so
    # refused before anything reads from it. A FIFO would otherwise hold
    # start-up for ever (the open waits for a writer, the read for data).
    rm -f /etc/vorlask.conf
    if [ "$case_name" = config-directory ]; then mkdir /etc/vorlask.conf; else mkfifo /etc/vorlask.conf; fi
    daemon_argv
    run_config_case d "${DAEMON[@]}" -T 1
    expect_eq "$STATUS" 1 "status"
    expect_between "$ELAPSED" 0 3 "time to refuse"
    expect_file_has "$T/d.err" 'vorlask: /etc/vorlask.conf: cannot read the file: not a regular file'
    expect_eq "$(grep -c . "$T/d.out")" 0 "lines on standard output"
    if [ "$case_name" = config-fifo ]; then
        # Held open by a writer that never writes: refused all the same.
        exec 9<>/etc/vorlask.conf
        run_config_case held "${DAEMON[@]}" -T 1
        expect_eq "$STATUS" 1 "status with a silent writer"
        expect_between "$ELAPSED" 0 3 "time to refuse with a silent writer"
        exec 9>&-
    fi
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
finish
