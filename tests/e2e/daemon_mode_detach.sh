#!/usr/bin/env bash
# Daemon mode (-D): the command returns with status 0 as soon as the child has
# started up, and the child runs on in a new session, umask 0, in the starting
# directory, with 0, 1 and 2 on /dev/null and nothing inherited; a -T stop ends
# it by itself. A failure of the child's start-up (inside daemon mode, or no
# kernel end) ends the child, and the command returns 1 with the child's
# message on its standard error and in the system log.
#   daemon_mode_detach.sh detach|quiet|failure
#
# The script runs in its own pid namespace inside the sandbox, so every
# vorlask process it sees is one it started.
source "$E2E_LIB"
if [ -z "${SANDBOX_ADDR:-}" ]; then
    enter_sandbox "$@"
fi
if [ "${E2E_PID_NAMESPACE:-}" != 1 ]; then
    E2E_PID_NAMESPACE=1 exec unshare --pid --fork --mount-proc bash "$0" "$@"
fi
enter_sandbox "$@"
case_name=${1:?case}

# The pids of the running (not zombie) vorlask processes.
vorlask_pids() {
    local p
    for p in $(pgrep -x vorlask); do
        [ "$(awk '{ print $3 }' "/proc/$p/stat" 2>/dev/null)" = Z ] || echo "$p"
    done
}

# wait_gone PID SECONDS: 0 once PID has ended (gone or a zombie).
wait_gone() {
    local i state
    for i in $(seq $(($2 * 10))); do
        state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null || true)
        if [ -z "$state" ] || [ "$state" = Z ]; then return 0; fi
        sleep 0.1
    done
    return 1
}

# run_detached NAME ARGS...: the daemon with -D from directory $T/cwd and an
# extra descriptor 77 open; how long the command took in ELAPSED.
run_detached() {
    local name=$1; shift
    daemon_argv
    mkdir -p "$T/cwd"
    local start
    start=$(date +%s.%N)
    STATUS=0
    (cd "$T/cwd" && exec 77</dev/null && exec timeout 10 "${DAEMON[@]}" -D "$@") \
        >"$T/$name.out" 2>"$T/$name.err" || STATUS=$?
    ELAPSED=$(echo "$(date +%s.%N) - $start" | bc)
}

case "$case_name" in
detach)
    start_standin standin --wait 10 --linger 30
    run_detached d -T 3 -v
    expect_eq "$STATUS" 0 "status of the command"
    expect_between "$ELAPSED" 0 2 "seconds until the command returned"
    # The parent printed the configuration values and nothing else.
    expect_eq "$(cat "$T/d.out")" $'10.200.0.9\n225.0.0.37' "parent's stdout"
    expect_clean "$T/d.err"

    # The child's registration comes after its start-up.
    wait_for "$T/standin.out" 'registered: port' 30
    pids=$(vorlask_pids)
    expect_eq "$(echo "$pids" | grep -c .)" 1 "running vorlask processes"
    child=$(echo "$pids" | head -1)
    if [ -z "$child" ]; then
        fail "no daemon child found"
        finish
        exit 1
    fi
    STARTED_PIDS="${STARTED_PIDS:-} $child"
    # Fields after the command name: state, ppid, pgrp, session.
    read -r _ ppid pgrp sid _ < <(sed 's/^.*) //' "/proc/$child/stat")
    expect_eq "$sid" "$child" "session id of the child"
    expect_eq "$pgrp" "$child" "process group of the child"
    expect_eq "$ppid" 1 "parent of the child (the parent has ended)"
    expect_eq "$(awk '/^Umask:/ { print $2 }' "/proc/$child/status")" 0000 "umask"
    expect_eq "$(readlink "/proc/$child/cwd")" "$T/cwd" "working directory"
    for fd in 0 1 2; do
        expect_eq "$(readlink "/proc/$child/fd/$fd")" /dev/null "descriptor $fd"
    done
    expect_eq "$([ -e "/proc/$child/fd/77" ] && echo open || echo closed)" closed "descriptor 77"
    # Past 0, 1 and 2 only what the daemon opened itself after detaching:
    # its sockets, the loop's epoll, eventfd and signal pipes; no file.
    for fd in /proc/"$child"/fd/*; do
        n=${fd##*/}
        [ "$n" -le 2 ] && continue
        target=$(readlink "$fd" || true)
        case "$target" in
        socket:* | anon_inode:* | pipe:*) pass ;;
        *) fail "descriptor $n of the child is $target" ;;
        esac
    done

    # -T 3: the stop comes on the third tick, the exit about 5 s later.
    if wait_gone "$child" 20; then pass; else fail "the child still runs 20 s after the start"; fi
    expect_eq "$(vorlask_pids)" "" "vorlask processes left"
    ;;
quiet)
    # What the child prints goes to /dev/null at verbosity 0 whatever -v
    # says. To read it, /dev/null is, for the daemon alone, a bind mount of a
    # plain file: the level-0 table header and summary are there, the -v
    # status lines are not, and the configuration values went to the
    # parent's own stdout before the detach.
    : >"$T/null.txt"
    start_standin standin --wait 10 --linger 30
    daemon_argv
    STATUS=0
    unshare --mount bash -c 'mount --bind "$1" /dev/null || exit 90; shift; exec "$@" -D -T 2 -v -v' \
        _ "$T/null.txt" "${DAEMON[@]}" >"$T/q.out" 2>"$T/q.err" || STATUS=$?
    expect_eq "$STATUS" 0 "status of the command"
    expect_eq "$(cat "$T/q.out")" $'10.200.0.9\n225.0.0.37' "parent's stdout"
    wait_for "$T/standin.out" 'registered: port' 30
    child=$(vorlask_pids | head -1)
    if [ -n "$child" ]; then
        STARTED_PIDS="${STARTED_PIDS:-} $child"
        if wait_gone "$child" 20; then pass; else fail "the child still runs 20 s after the start"; fi
    else
        fail "no daemon child found"
    fi
    expect_file_has "$T/null.txt" "Timestamp         MAC"
    expect_file_has "$T/null.txt" "*** summary ***"
    for line in 'it will be stopped after 5 seconds ...' 'free and shutdown ...' 'shutdown ...' \
        'thread stopped ...' '10.200.0.9'; do
        expect_file_lacks "$T/null.txt" "$line"
    done
    expect_clean "$T/null.txt"
    ;;
failure)
    # Standard input cannot be opened in the child: for the daemon alone /dev
    # is a scratch tmpfs whose null is a socket, which open() refuses, and
    # whose log is a socket of this test. Daemon mode then fails on its
    # descriptor check; the child reports it to the system log and ends
    # instead of running on.
    python3 - "$T/null.sock" "$T/log.sock" "$T/syslog.txt" <<'EOF' &
import socket, sys, time
null = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
null.bind(sys.argv[1])
log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
log.bind(sys.argv[2])
log.settimeout(15)
with open(sys.argv[3], "wb") as out:
    try:
        while True:
            out.write(log.recv(4096) + b"\n")
            out.flush()
    except socket.timeout:
        pass
EOF
    LOGGER_PID=$!
    STARTED_PIDS="${STARTED_PIDS:-} $LOGGER_PID"
    wait_until 30 "the test's log socket" test -S "$T/log.sock"
    daemon_argv
    STATUS=0
    unshare --mount bash -c '
        null=$1 log=$2; shift 2
        mount -t tmpfs scratch-dev /dev && touch /dev/null /dev/log || exit 90
        mount --bind "$null" /dev/null && mount --bind "$log" /dev/log || exit 91
        exec "$@" -D -T 3' _ "$T/null.sock" "$T/log.sock" "${DAEMON[@]}" \
        >"$T/f.out" 2>"$T/f.err" </dev/zero || STATUS=$?
    expect_eq "$STATUS" 1 "status of the command (the parent)"
    expect_eq "$(cat "$T/f.out")" $'10.200.0.9\n225.0.0.37' "parent's stdout"
    expect_eq "$(cat "$T/f.err")" \
        "vorlask: daemon mode: new standard file descriptors were not opened as expected" \
        "parent's stderr"
    # The child has said why and is ending.
    no_daemon() { [ -z "$(vorlask_pids)" ]; }
    wait_until 30 "the failed child to end" no_daemon
    expect_eq "$(vorlask_pids)" "" "vorlask processes running after the failure"

    # No kernel end: the child's registration fails; the command says so.
    # Here /dev holds a real null and the test's log socket. The preload does
    # not retry the refused registration.
    export VORLASK_KERNEL_WAIT_MS=0
    STATUS=0
    start=$EPOCHREALTIME
    unshare --mount bash -c '
        log=$1; shift
        mount -t tmpfs scratch-dev /dev && mknod -m 666 /dev/null c 1 3 && touch /dev/log || exit 90
        mount --bind "$log" /dev/log || exit 91
        exec timeout 10 "$@" -D -t 1' _ "$T/log.sock" "${DAEMON[@]}" \
        >"$T/nokernel.out" 2>"$T/nokernel.err" || STATUS=$?
    expect_eq "$STATUS" 1 "status without a kernel end"
    expect_between "$(echo "$EPOCHREALTIME - $start" | bc)" 0 3 "seconds until the command returned"
    expect_eq "$(cat "$T/nokernel.err")" "mnl_socket_send: Connection refused" \
        "stderr without a kernel end"
    wait_until 30 "the child without a kernel end to end" no_daemon
    expect_eq "$(vorlask_pids)" "" "vorlask processes running without a kernel end"
    two_logged() { [ "$(grep -c vorlask "$T/syslog.txt")" -ge 2 ]; }
    wait_until 30 "both messages in the log" two_logged
    expect_file_has "$T/syslog.txt" "vorlask["
    expect_file_has "$T/syslog.txt" \
        "daemon mode: new standard file descriptors were not opened as expected"
    expect_file_has "$T/syslog.txt" "mnl_socket_send: Connection refused"
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
finish
