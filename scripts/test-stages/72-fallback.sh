# Fallback configuration: every platform probe forced off, so the daemon is
# built with the fallbacks a small C library or an older kernel gets
# (daemon/platform/*_none.cpp, getcwd, sysconf); the unit tests must pass with
# them, and the platform tests check that the fallbacks were really taken.
set -euo pipefail
build=build/fallback
probes=(CLOSE_RANGE GET_CURRENT_DIR_NAME GETPAGESIZE NETLINK_NO_ENOBUFS SO_MEMINFO SYSLOG)
args=()
for p in "${probes[@]}"; do args+=("-DVORLASK_PROBE_$p=OFF"); done
cmake -S . -B "$build" -G Ninja -DVORLASK_WERROR=ON "${args[@]}" | grep 'Platform sources'
ninja -C "$build" -j2 daemon/all config_library/all tests/unit/all
ctest --test-dir "$build" -L unit --timeout 120 -j2 --output-on-failure
