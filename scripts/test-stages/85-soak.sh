# Short soak: the daemon for 60 s under 1,000 stable stations and 200,000
# randomised addresses a minute; fails unless it reaches its timed stop with
# status 0 and a summary and the stand-in's messages add up.
set -euo pipefail
scripts/build default
SOAK_SECS=60 SOAK_CHECK=1 SOAK_SVG=build/default/soak.svg timeout 300 benchmarks/soak.sh build/default
