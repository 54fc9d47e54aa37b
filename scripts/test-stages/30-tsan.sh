# ThreadSanitizer build: every test again but the broker fault runs (default
# build only).
set -euo pipefail
scripts/build tsan -DVORLASK_SANITIZER=tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:report_thread_leaks=0 ctest --test-dir build/tsan -j3 -LE 'broker|browser' --output-on-failure
