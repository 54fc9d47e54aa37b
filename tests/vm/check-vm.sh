#!/usr/bin/env bash
# Checks the sections that the test guest reported (see guest-init.sh):
#   check-vm.sh DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
d=$1
failures=0
passes=0
pass() { echo "ok   $*"; passes=$((passes + 1)); }
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}
counter() { awk -v k="$2" '$1 == k {print $2}' "$d/$1" 2>/dev/null; }
has() { grep -q -E "$2" "$d/$1" 2>/dev/null; }

if [ -s "$d/steps" ]; then
    echo "what went wrong in the guest:"
    sed 's/^/    /' "$d/steps"
fi
if [ -s "$d/scan-errors.out" ]; then
    echo "scans that failed every try in the guest (first 10):"
    head -n 10 "$d/scan-errors.out" | sed 's/^/    /'
fi
if [ -s "$d/scan-retries" ]; then
    echo "scans tried again in the guest: $(wc -l <"$d/scan-retries"), the first 3:"
    head -n 3 "$d/scan-retries" | sed 's/^/    /'
fi
if [ -s "$d/waits" ]; then
    echo "waits in the guest:"
    sed 's/^/    /' "$d/waits"
fi

for f in nomodule-before nomodule-after; do
    check "$f: without the module the daemon's registration is refused" \
        has $f.out '^mnl_socket_send: Connection refused$'
    check "$f: and it ends with status 1" has $f.out '^status 1$'
done

check "module loads with monitor=mon0" has insmod1.out '^status 0$'
check "before mon0 exists nothing is watched" has proc-empty '^watching$'
check "mon0 picked up when it appears" has proc-watching '^watching mon0$'

echo "counters of the daemon run, taken at its stop announcement:"
sed 's/^/    /' "$d/proc-run"
check "registration received" test "$(counter proc-run registrations)" = 1
check "daemon's port remembered" has proc-run '^port [1-9][0-9]*$'
probes=$(counter proc-run probes)
sent=$(counter proc-run sent)
unreg=$(counter proc-run unregistered)
check "probe requests seen (${probes:-none})" test "${probes:-0}" -gt 20
check "every one sent or counted as before the registration" \
    test "$((sent + unreg))" = "$probes" -a "$(counter proc-run send_failures)" = 0
check "no malformed frames from the simulated radios" test "$(counter proc-run malformed)" = 0
check "no other messages on the channel" test "$(counter proc-run ignored)" = 0

echo "outcome of the daemon run:"
if bash "$here/check-outcome.sh" "$d/daemon.out" "$d/listen.out" | sed 's/^/    /'; then
    pass "console rows, summary and reports"
else
    fail "console rows, summary and reports"
fi

check "unload while the daemon runs" has rmmod-running.out '^status 0$'
check "the daemon was still running then" has rmmod-running.out '^daemon alive$'
check "its counters file went with it" test -z "$(grep 'still there' "$d/rmmod-running.out")"
check "the daemon ends normally after the unload" has daemon.out '^status 0$'

check "module loads again" has insmod2.out '^status 0$'
second=$(awk '{print $4}' "$d/pids")
check "a second registration replaces the first (port ${second})" \
    test "$(counter proc-replaced registrations)" = 2 -a "$(counter proc-replaced port)" = "$second"
check "once the daemon is gone, the refused send clears the port" \
    test "$(counter proc-gone port)" = none -a "$(counter proc-gone unreachable)" = 1 \
    -a "$(counter proc-gone send_failures)" = 1
check "then it sends nothing: later probes count as unregistered" \
    test "$(counter proc-gone unregistered)" -gt "$(counter proc-replaced unregistered)"
check "the module's privileged check is on by default" has privileged.out '^Y$'
netadmin=$(cat "$d/netadmin-pid" 2>/dev/null)
check "a daemon without CAP_NET_ADMIN is refused, one with only CAP_NET_ADMIN registers (port ${netadmin})" \
    test "$(counter proc-privileged refused)" = 1 \
    -a "$(counter proc-privileged registrations)" = "$(($(counter proc-gone registrations) + 1))" \
    -a "$(counter proc-privileged port)" = "$netadmin"
for f in unprivileged netadmin; do
    check "$f: the daemon run as nobody ends normally" has $f.out '^status 0$'
done
check "unload with the daemon stopped" has rmmod-stopped.out '^status 0$'

bad=$(grep -E 'WARNING|BUG|Oops|Call Trace|general protection|refcount_t|list_del corruption|UBSAN|KASAN|kernel panic|stack-protector|hung_task' \
    "$d/dmesg.out" | head -n 5)
check "guest kernel log free of warnings, oopses and BUG${bad:+: $bad}" test -z "$bad"
check "the module watched and released mon0 twice" \
    test "$(grep -c 'vorlask: stopped watching mon0' "$d/dmesg.out")" = 2

echo "vm checks: ${passes} passed, ${failures} failed"
[ "$failures" -eq 0 ]
