#!/usr/bin/env bash
# A host without a multicast route: joining the group fails with ENODEV, the
# daemon says so and ends through the assertion check.
SANDBOX_OPTS=--no-route
source "$E2E_LIB"
source "$(dirname "$0")/multicast_common.sh"
enter_sandbox "$@"

# The stand-in takes the registration, so the only way out is the join.
start_standin standin --wait 30 --linger 10
start_daemon d -t 2 -T 5
wait_daemon d 30
expect_order "$T/d.err" 'No multicast support.' \
    'Assertion failed in vorlask on line 435: r == 0'
expect_eq "$(grep -c -xF 'No multicast support.' "$T/d.err")" 1 "ENODEV message"
expect_eq "$(grep -c -xF 'Assertion failed in vorlask on line 435: r == 0' "$T/d.err")" 1 \
    "assertion report"
if [ -z "${VORLASK_SANITIZER:-}" ] && [ "${VALGRIND:-0}" != 1 ]; then
    expect_eq "$DAEMON_STATUS" 134 "exit status (SIGABRT)"
else
    # Sanitizer runtimes and valgrind may turn the abort into their own status.
    expect_between "$DAEMON_STATUS" 1 255 "exit status"
fi
expect_file_lacks "$T/d.out" 'summary'
finish
