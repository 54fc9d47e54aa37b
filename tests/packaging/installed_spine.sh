#!/usr/bin/env bash
# The daemon and the listener as unpacked from the Debian packages (dpkg -x
# into ROOT), with the library of libchameleon1 found through
# LD_LIBRARY_PATH, run in a sandbox whose /etc/vorlask.conf is the packaged
# one:
#   timed         -T 3 with the kernel stand-in: the two configuration values,
#                 the table header, a row, the stop on the third tick, the
#                 summary about 5 s later, status 0; the packaged listener
#                 sees the greeting and the report
#   unprivileged  the same run as user nobody with every capability dropped:
#                 the daemon needs no privilege for netlink or multicast (the
#                 kernel module's CAP_NET_ADMIN check is not the stand-in's)
#   userns        the same again inside a user namespace of its own
#   refused       no kernel side: "mnl_socket_send: Connection refused" almost
#                 at once, status 1, also as nobody
#
#   installed_spine.sh ROOT CASE
# Environment: E2E_LIB, SANDBOX, STANDIN, PORT_REDIRECT (as for tests/e2e).
root=${1:?root}
export PACKAGE_ROOT
PACKAGE_ROOT=$(readlink -f "$root")
export SANDBOX_OPTS="--conf $PACKAGE_ROOT/etc/vorlask.conf"
# shellcheck source-path=SCRIPTDIR/../e2e source=lib.sh
source "$E2E_LIB"
enter_sandbox "$@"
case_name=${2:?case}

VORLASK=$PACKAGE_ROOT/usr/sbin/vorlask
LISTENER=$PACKAGE_ROOT/usr/bin/vorlask-listen
LD_LIBRARY_PATH=$PACKAGE_ROOT/usr/lib/$(gcc -print-multiarch)
export LD_LIBRARY_PATH
UNPRIVILEGED=(setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all
    --bounding-set=-all --no-new-privs)

# As in lib.sh, with WRAPPER (an array) in front of the daemon.
WRAPPER=()
daemon_argv() {
    # shellcheck disable=SC2034  # run by start_daemon of lib.sh
    DAEMON=("${WRAPPER[@]}" env "VORLASK_KERNEL_PORT=$KERNEL_PORT" "LD_PRELOAD=$PORT_REDIRECT"
        "LD_LIBRARY_PATH=$LD_LIBRARY_PATH" "$VORLASK")
}

# The packaged binary must take the packaged library, not one of a build tree.
check_linkage() {
    expect_eq "$(readelf -d "$VORLASK" | grep -cE 'RPATH|RUNPATH')" 0 "run paths in vorlask"
    expect_eq "$(ldd "$VORLASK" | awk '$1 == "libchameleon.so.1" { print $3 }')" \
        "$LD_LIBRARY_PATH/libchameleon.so.1" "libchameleon.so.1 resolved to"
}

# spine NAME: a station probing four times in the first second, -T 3 (-R 0,
# so that no scan drops it before the summary), and the listener joined to
# the group for the greeting and the report.
spine() {
    local name=$1
    printf '0.3 00:1a:2b:3c:4d:5e 11:22:33:44:55:66 -45 1 2412 4\n' >"$T/script"
    start_standin standin --wait 10 --script "$T/script" --linger 15
    "${WRAPPER[@]}" "$LISTENER" --count 2 --timeout 15 >"$T/listen.out" 2>"$T/listen.err" &
    local listener=$!
    STARTED_PIDS="$STARTED_PIDS $listener"
    wait_port_bound
    start_daemon "$name" -T 3 -t 2 -R 0 -v
    wait_daemon "$name" 30
    expect_eq "$DAEMON_STATUS" 0 "$name: exit status"
    local out=$T/$name.out
    expect_eq "$(sed -n '1p;2p' "$out" | cut -d' ' -f2- | tr '\n' ' ')" \
        '192.168.1.100 225.0.0.37 ' "$name: configuration values"
    expect_file_has "$out" "$(printf 'Timestamp         MAC%37sRssi     Band     Freq      Cnt/Delta(10)' '')"
    expect_file_has "$out" "+-----------------+-----------------------$(printf '%16s' '' | tr ' ' -)+----------+-------+--------+-------"
    expect_file_has "$out" '001a2b3c4d5e - 112233445566            -45        1       2412       4'
    expect_between "$(time_of "$out" 'it will be stopped after 5 seconds ...')" 2.5 4.2 \
        "$name: stop announced at"
    expect_between "$(time_of "$out" '*** summary ***')" 7.5 9.5 "$name: summary printed at"
    expect_order "$out" '*** summary ***' 'total probes request found: 1' \
        '001a2b3c4d5e - 112233445566' 'finally get a valid probe reqeust number: 1' 'shutdown ...'
    wait "$listener"
    expect_eq "$?" 0 "$name: listener status"
    expect_file_has "$T/listen.out" 'greeting HelloMACrecver from 10.200.0.1:'
    expect_file_has "$T/listen.out" 'report 00:1a:2b:3c:4d:5e ver 1 rssi -33 from 10.200.0.1:'
    wait "$STANDIN_PID"
    expect_eq "$?" 0 "$name: stand-in status"
    expect_file_has "$T/standin.out" "registered: port $DAEMON_PID"
}

port_bound() { ss -Huln 'sport = :5566' | grep -q .; }
wait_port_bound() { wait_until 30 "the listener bound to port 5566" port_bound; }

case "$case_name" in
timed)
    check_linkage
    spine timed
    ;;
unprivileged)
    WRAPPER=("${UNPRIVILEGED[@]}")
    "${WRAPPER[@]}" grep -q CapEff:.0000000000000000 /proc/self/status
    expect_eq "$?" 0 "no effective capabilities under setpriv"
    spine unprivileged
    ;;
userns)
    WRAPPER=("${UNPRIVILEGED[@]}" unshare --user)
    if [ "$("${WRAPPER[@]}" readlink /proc/self/ns/user)" != "$(readlink /proc/self/ns/user)" ]; then
        pass
    else
        fail "unshare --user gave no user namespace of its own"
    fi
    spine userns
    ;;
refused)
    for who in root nobody; do
        [ "$who" = nobody ] && WRAPPER=("${UNPRIVILEGED[@]}")
        start=$EPOCHREALTIME
        timeout 10 "${WRAPPER[@]}" "$VORLASK" -T 3 -v >"$T/$who.out" 2>"$T/$who.err"
        expect_eq "$?" 1 "$who: exit status"
        expect_between "$(echo "$EPOCHREALTIME - $start" | bc)" 0 1.5 "$who: run time"
        expect_eq "$(tail -n 1 "$T/$who.err")" 'mnl_socket_send: Connection refused' "$who: stderr"
        expect_order "$T/$who.out" '192.168.1.100' '225.0.0.37' 'Timestamp         MAC'
    done
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
finish
