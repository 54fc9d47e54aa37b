# ThreadSanitizer build: every test again.
set -euo pipefail
scripts/build tsan -DVORLASK_SANITIZER=tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build/tsan --output-on-failure
