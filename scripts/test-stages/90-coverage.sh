# shellcheck shell=bash
# Coverage: a gcc --coverage build (VORLASK_COVERAGE, which also has the
# daemon write its counters where it ends by _exit), the whole ctest suite
# (unit and end-to-end: the end-to-end tests run this build's daemon; the
# broker fault runs too, since they are what drives the publisher, but not the
# fleet's broker, cluster and browser runs, which test vorlask-fleet), then
# gcovr's line and branch coverage of daemon/ and config_library/. Branches
# that only the compiler made (exception unwinding, unreachable) are not
# counted. Fails when a test fails or line coverage is below 90 %.
set -euo pipefail
build=build/coverage
scripts/build coverage -DVORLASK_COVERAGE=ON -DCMAKE_BUILD_TYPE=Debug
find "$build" -name '*.gcda' -delete
status=0
ctest --test-dir "$build" -j2 -E '^e2e\.fleet_' --output-on-failure || status=$?
filters=(--filter 'daemon/' --filter 'config_library/')
gcovr -r . --object-directory "$build" "${filters[@]}" --exclude-throw-branches \
    --exclude-unreachable-branches --json "$build/coverage.json" "$build"
echo "--- line coverage"
gcovr -a "$build/coverage.json" -r . --txt
echo "--- branch coverage"
gcovr -a "$build/coverage.json" -r . --txt --branches
# The report goes to a file of the build: gcovr replaces its output file, so
# it must never be given /dev/null (that replaced the device with a file).
gcovr -a "$build/coverage.json" -r . --print-summary --fail-under-line 90 \
    -o "$build/coverage-summary.txt" || status=$?
exit "$status"
