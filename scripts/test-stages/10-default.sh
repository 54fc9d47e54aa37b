# Default build: unit tests and end-to-end tests.
set -euo pipefail
scripts/build default
ctest --test-dir build/default -j3 --output-on-failure
