#!/usr/bin/env bash
# Peak resident memory of a build's daemon holding STATIONS stations (the
# x86_64 build as a stand-in for the router): the kernel stand-in has each of
# them probe once a second for 8 s, the daemon keeps them all (-R 0) through
# scans every 3 s. Runs inside tests/harness/sandbox.sh.
#   tests/router/peak-rss.sh BUILD_DIR STATIONS
set -euo pipefail
build=$(readlink -f "${1:?build dir}")
stations=${2:?stations}
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${SANDBOX_ADDR:-}" ]; then
    exec "$here/../harness/sandbox.sh" -- bash "$0" "$@"
fi
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
"$build/tests/kit/kernel_standin/vorlask-kernel-standin" --port 4242 --wait 10 --duration 8 \
    --stable "$stations" --stable-rate 1 --linger 10 >"$t/standin.out" 2>&1 &
standin=$!
env VORLASK_KERNEL_PORT=4242 LD_PRELOAD="$build/tests/kit/port_redirect/libvorlask-port-redirect.so" \
    /usr/bin/time -f '%M' -o "$t/rss" timeout 60 "$build/daemon/vorlask" -t 3 -T 9 -R 0 \
    >"$t/daemon.out" 2>"$t/daemon.err"
kill "$standin" 2>/dev/null || true
wait "$standin" 2>/dev/null || true
kept=$(awk '/finally get a valid probe reqeust number:/ { print $NF }' "$t/daemon.out")
echo "$stations stations: peak RSS $(cat "$t/rss") KiB, $kept in the final table"
