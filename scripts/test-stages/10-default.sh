# Default build: unit tests and end-to-end tests.
set -euo pipefail
scripts/build default
ctest --test-dir build/default --output-on-failure
