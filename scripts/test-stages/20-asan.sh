# AddressSanitizer + UndefinedBehaviorSanitizer build: every test again but
# the broker fault runs (default build only).
set -euo pipefail
scripts/build asan -DVORLASK_SANITIZER=asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan -j3 -LE 'broker|browser' --output-on-failure
