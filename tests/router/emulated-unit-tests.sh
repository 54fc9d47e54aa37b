#!/usr/bin/env bash
# Runs the unit tests of a cross build under user-mode emulation (CMake's
# emulator setting runs every test program through qemu-mipsel-static).
#
#   tests/router/emulated-unit-tests.sh BUILD_DIR
#
# Some tests cannot pass under the emulator for reasons of the emulator, not
# of the code: it refuses netlink protocol 2 (socket fails with "Protocol not
# supported"), and it writes a line of its own to the standard error of every
# process that aborts. A failed test is run again with the emulator's system
# call trace; when the trace or the output shows one of these two causes, the
# test is listed as not runnable here with that reason. Any other failure
# fails the run. The end-to-end tests (label e2e) are not run at all: they
# need network namespaces and the kernel module's netlink protocol on the
# target's instruction set, which the MIPS guest provides.
set -uo pipefail
build=${1:?usage: emulated-unit-tests.sh BUILD_DIR}
log_dir="$build/emulated-tests"
rm -rf "$log_dir"
mkdir -p "$log_dir"

echo "not run under emulation: the end-to-end tests (label e2e), since they need" \
    "network namespaces and netlink protocol 2 (the MIPS guest stage runs them):"
ctest --test-dir "$build" -N -L e2e | sed -n 's/^ *Test *#[0-9]*: /    /p'

ctest --test-dir "$build" -L unit -LE e2e --timeout 120 -j2 --output-on-failure \
    >"$log_dir/run.log" 2>&1
status=$?
total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$log_dir/run.log")
failed_list="$build/Testing/Temporary/LastTestsFailed.log"
if [ "$status" -eq 0 ]; then
    tail -n 3 "$log_dir/run.log"
    exit 0
fi
if [ ! -s "$failed_list" ] || [ -z "$total" ]; then
    cat "$log_dir/run.log"
    echo "the unit tests did not run" >&2
    exit 1
fi

netlink_refused='socket\(PF_NETLINK,[^)]*,2\) = -1 errno=[0-9]+ \(Protocol not supported\)'
abort_line='qemu: uncaught target signal 6 \(Aborted\)'
not_runnable=0
real_failures=()
while IFS=: read -r _ name; do
    [ -n "$name" ] || continue
    trace="$log_dir/$name.log"
    QEMU_STRACE=1 ctest --test-dir "$build" -R "^$(printf '%s' "$name" | sed 's/[].[*^$()+?{}|\\]/\\&/g')\$" \
        --timeout 300 --output-on-failure >"$trace" 2>&1
    rerun=$?
    if grep -qE "$netlink_refused" "$trace"; then
        echo "not runnable under emulation: $name: opens netlink protocol 2, which the emulator refuses"
        not_runnable=$((not_runnable + 1))
    elif grep -qE "$abort_line" "$trace"; then
        echo "not runnable under emulation: $name: checks the standard error of an aborting" \
            "process, to which the emulator adds a line of its own"
        not_runnable=$((not_runnable + 1))
    elif [ "$rerun" -eq 0 ]; then
        echo "passed under emulation when run again alone: $name (first run below)"
        sed -n "/ $name \.*\*\*\*/,/^ *[0-9]*\/[0-9]* Test/p" "$log_dir/run.log" | tail -n 30
    else
        real_failures+=("$name")
    fi
done <"$failed_list"

for name in "${real_failures[@]}"; do
    echo "--- $name failed under emulation:"
    grep -v -E '^[0-9]+ [a-z_0-9]+\(' "$log_dir/$name.log" | tail -n 60
done
failures=${#real_failures[@]}
echo "unit tests under emulation: $((total - not_runnable - failures)) passed, $failures failed," \
    "$not_runnable not runnable here (listed above)"
[ "$failures" -eq 0 ]
