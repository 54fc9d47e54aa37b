# Shared helpers of the end-to-end tests. A test script sources this file;
# `enter_sandbox "$@"` re-runs the script inside tests/harness/sandbox.sh, so
# everything after it runs in the test's own network and mount namespaces.
#
# Environment (set by CTest): VORLASK, SANDBOX, STANDIN, PORT_REDIRECT,
# LISTENER, VORLASK_SANITIZER; VALGRIND=1 runs the daemon under valgrind.

set -uo pipefail

KERNEL_PORT=4242
failures=0
checks=0

# Sanitizer runtimes must not refuse the port-redirect preload library.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:verify_asan_link_order=0:detect_leaks=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-}:print_stacktrace=1:halt_on_error=1"
# After Ctrl-C, and when the kernel end is missing, the daemon ends with
# _exit while its workers still run, on purpose: nothing is torn down under
# them. ThreadSanitizer would call those threads leaked.
export TSAN_OPTIONS="${TSAN_OPTIONS:-}:halt_on_error=1:report_thread_leaks=0"

enter_sandbox() {
    if [ -z "${SANDBOX_ADDR:-}" ]; then
        exec "$SANDBOX" ${SANDBOX_OPTS:-} -- bash "$0" "$@"
    fi
    T=$(mktemp -d /tmp/vorlask-e2e.XXXXXX)
    trap cleanup EXIT
}

cleanup() {
    local pid
    for pid in ${STARTED_PIDS:-}; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    if [ "$failures" -ne 0 ] && [ -d "$T" ]; then
        for f in "$T"/*; do
            [ -f "$f" ] || continue
            echo "----- $(basename "$f") (last 40 lines)"
            tail -n 40 "$f"
        done
    fi
    rm -rf "$T"
}

pass() { checks=$((checks + 1)); }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); echo "FAIL: $*"; }

expect_eq() {  # expect_eq ACTUAL EXPECTED WHAT
    if [ "$1" == "$2" ]; then pass; else fail "$3: got [$1], expected [$2]"; fi
}
expect_file_has() {  # expect_file_has FILE FIXED-TEXT
    if grep -qF -- "$2" "$1"; then pass; else fail "$(basename "$1") lacks [$2]"; fi
}
expect_file_lacks() {
    if grep -qF -- "$2" "$1"; then fail "$(basename "$1") has [$2]"; else pass; fi
}
expect_between() {  # expect_between VALUE LOW HIGH WHAT (decimals allowed)
    if awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v >= lo && v <= hi) }'; then
        pass
    else
        fail "$4: $1 not within [$2, $3]"
    fi
}
# Lines of FILE in order: each given text must appear on a later line than the last.
expect_order() {
    local file=$1; shift
    local from=0 text n
    for text in "$@"; do
        n=$(awk -v from="$from" -v t="$text" 'NR > from && index($0, t) { print NR; exit }' "$file")
        if [ -z "$n" ]; then fail "$(basename "$file"): [$text] not found after line $from"; return; fi
        from=$n
    done
    pass
}
count_lines() { grep -cF -- "$2" "$1" || true; }

# No sanitizer or valgrind report in FILE.
expect_clean() {
    if grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error:|WARNING: ThreadSanitizer|definitely lost: [1-9]|ERROR SUMMARY: [1-9]' "$1"; then
        fail "$(basename "$1") has a sanitizer or valgrind report"
    else
        pass
    fi
}

# start_standin NAME ARGS...: the kernel stand-in on KERNEL_PORT, in the
# background; returns once it is bound, so that a daemon started next finds
# it however slowly the stand-in started.
start_standin() {
    local name=$1; shift
    "$STANDIN" --port "$KERNEL_PORT" "$@" >"$T/$name.out" 2>"$T/$name.err" &
    STANDIN_PID=$!
    STARTED_PIDS="${STARTED_PIDS:-} $STANDIN_PID"
    wait_until 30 "the stand-in bound to port $KERNEL_PORT" standin_bound
}
# A NETLINK_USERSOCK socket of the sandbox is bound to KERNEL_PORT.
standin_bound() {
    awk -v p="$KERNEL_PORT" '$2 == 2 && $3 == p { found = 1 } END { exit !found }' /proc/net/netlink
}

# The daemon command with its registration redirected to the stand-in.
daemon_argv() {
    DAEMON=(env "VORLASK_KERNEL_PORT=$KERNEL_PORT" "LD_PRELOAD=$PORT_REDIRECT")
    if [ "${VALGRIND:-0}" = 1 ]; then
        DAEMON+=(valgrind -q --leak-check=full --errors-for-leak-kinds=definite
            --error-exitcode=99 --log-file="$T/valgrind.log")
    fi
    DAEMON+=("$VORLASK")
}

# start_daemon NAME ARGS...: the daemon in the background, each stdout line
# prefixed with the seconds since start (NAME.out), stderr in NAME.err; its
# pid in DAEMON_PID.
start_daemon() {
    local name=$1; shift
    daemon_argv
    DAEMON_START=$EPOCHREALTIME
    rm -f "$T/$name.pid" "$T/$name.status"
    (
        "${DAEMON[@]}" "$@" 2>"$T/$name.err" &
        echo $! >"$T/$name.pid"
        wait $!
        echo $? >"$T/$name.status"
    ) | stamp_lines "$DAEMON_START" >"$T/$name.out" &
    DAEMON_PIPE_PID=$!
    wait_until 30 "the daemon's process id" test -s "$T/$name.pid"
    DAEMON_PID=$(cat "$T/$name.pid")
    STARTED_PIDS="${STARTED_PIDS:-} $DAEMON_PID"
}

stamp_lines() {
    # EPOCHREALTIME keeps this free of forks, so stamps are accurate to a few ms.
    local start=${1/./} line now
    start=${start:0:16}
    while IFS= read -r line; do
        now=${EPOCHREALTIME/./}
        now=$((now - start))
        printf '%d.%02d %s\n' $((now / 1000000)) $((now % 1000000 / 10000)) "$line"
    done
}

# wait_daemon NAME SECONDS: waits for the daemon started as NAME to end.
wait_daemon() {
    local name=$1 limit=$2 i
    for i in $(seq $((limit * 10))); do
        [ -s "$T/$name.status" ] && break
        sleep 0.1
    done
    wait "$DAEMON_PIPE_PID" 2>/dev/null || true
    DAEMON_STATUS=$(cat "$T/$name.status" 2>/dev/null || echo timeout)
    DAEMON_ELAPSED=$(echo "$EPOCHREALTIME - $DAEMON_START" | bc)
    if [ "${VALGRIND:-0}" = 1 ] && [ -f "$T/valgrind.log" ]; then
        expect_clean "$T/valgrind.log"
        cp "$T/valgrind.log" "$T/$name.valgrind"
    fi
}

# The second at which the first line containing TEXT was printed.
time_of() { awk -v t="$2" 'index($0, t) { print $1; exit }' "$1"; }

# wait_until SECONDS WHAT COMMAND...: runs COMMAND every 0.05 s until it
# succeeds; after SECONDS a failure saying what it waited for, status 1.
# Limits are tens of seconds: a loaded machine is slow, not stuck.
wait_until() {
    local limit=$1 what=$2 deadline
    shift 2
    deadline=$((EPOCHSECONDS + limit))
    until "$@"; do
        if [ "$EPOCHSECONDS" -ge "$deadline" ]; then
            fail "gave up after $limit s waiting for $what"
            return 1
        fi
        sleep 0.05
    done
}
# wait_for FILE TEXT SECONDS: until FILE has a line with TEXT.
file_has() { grep -qF -- "$2" "$1" 2>/dev/null; }
wait_for() { wait_until "$3" "[$2] in $(basename "$1")" file_has "$1" "$2"; }

finish() {
    echo "$((checks - failures)) passed, $failures failed"
    [ "$failures" -eq 0 ]
}
