#!/usr/bin/env bash
# The OpenWrt init script's mapping from /etc/config/vorlask to the daemon's
# command line and the procd instance, with OpenWrt's shell functions stubbed
# (openwrt_stubs.sh). Runs under dash and, when present, busybox ash.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
init=$here/../../packaging/openwrt/vorlask/files/vorlask.init
shipped_config=$here/../../packaging/openwrt/vorlask/files/vorlask.config
work=$(mktemp -d /tmp/vorlask-openwrt.XXXXXX)
trap 'rm -rf "$work"' EXIT

shells=(dash)
if command -v busybox >/dev/null && busybox sh -c true 2>/dev/null; then
    shells+=("busybox sh")
fi

checks=0
failures=0

# run_init SHELL: start_service and service_triggers of the init script with
# $work/config/vorlask as the UCI file and $work/vorlask.conf as the
# configuration file; prints what procd was told and the file.
run_init() {
    local shell=$1
    : >"$work/log"
    # shellcheck disable=SC2016  # expanded by the inner shell
    UCI_CONFIG_DIR=$work/config PROCD_LOG=$work/log VORLASK_CONF=$work/vorlask.conf $shell -c '
        . "$1"
        . "$2"
        start_service
        echo "status $?" >>"$PROCD_LOG"
        service_triggers' sh "$here/openwrt_stubs.sh" "$init"
    cat "$work/log"
    # The configuration file it wrote, if any.
    [ -f "$work/vorlask.conf" ] && sed 's/^/conf: /' "$work/vorlask.conf"
    return 0
}

# check NAME EXPECTED: runs the script under every shell with the UCI file
# as it is now and compares what procd was told with EXPECTED.
check() {
    local name=$1 expected=$2 shell got
    for shell in "${shells[@]}"; do
        checks=$((checks + 1))
        rm -f "$work/vorlask.conf"
        got=$(run_init "$shell")
        if [ "$got" != "$expected" ]; then
            failures=$((failures + 1))
            echo "FAIL: $name ($shell)"
            diff <(echo "$expected") <(echo "$got") | sed 's/^/    /'
        fi
    done
}

uci() { mkdir -p "$work/config"; printf '%s\n' "$@" >"$work/config/vorlask"; }

instance() {  # instance ARG...: the expected lines of one started instance
    local line="set command [/usr/sbin/vorlask]" arg
    for arg in "$@"; do line="$line [$arg]"; done
    printf '%s\n' open "$line" 'set respawn [3600] [5] [5]' 'set term_timeout [15]' \
        'set stdout [1]' 'set stderr [1]' \
        'set file [/etc/config/vorlask] [/etc/vorlask.conf]' 'set user [vorlask]' 'set group [vorlask]' \
        'set capabilities [/etc/capabilities/vorlask.json]' 'set no_new_privs [1]' close 'status 0' \
        'reload-trigger [vorlask]'
}
not_started() {  # not_started STATUS [LOGGER-TEXT]
    [ $# -gt 1 ] && echo "logger [-t] [vorlask] [$2]"
    printf '%s\n' "status $1" 'reload-trigger [vorlask]'
}

# The configuration as shipped: every option given with the daemon's default.
mkdir -p "$work/config"
cp "$shipped_config" "$work/config/vorlask"
check "shipped configuration" "$(instance --port 5566 --timeout 10 --timemax 0 --randommax 2
    printf 'conf: %s\n' '# Written by /etc/init.d/vorlask from /etc/config/vorlask: edit that file.' \
        '[server]' 'ucast_addr = 192.168.1.100' 'mcast_addr = 225.0.0.37')"

# Every section of the configuration file from its UCI section, in a fixed
# order whatever the UCI order; other sections and the daemon's options stay
# out of it.
uci "config mqtt 'mqtt'" "	option host 'broker.lan, 10.0.0.2'" "	option password_file '/etc/vorlask/pw'" \
    "config vorlask 'main'" "	option port '4000'" "config scan 'scan'" "	option rule 'persistent'" \
    "config other 'other'" "	option host 'x'" \
    "config server 'server'" "	option ucast_addr '10.0.0.1'" "	option mcast_addr '225.0.0.37'"
check "every section" "$(instance --port 4000
    printf 'conf: %s\n' '# Written by /etc/init.d/vorlask from /etc/config/vorlask: edit that file.' \
        '[server]' 'ucast_addr = 10.0.0.1' 'mcast_addr = 225.0.0.37' '[scan]' 'rule = persistent' \
        '[mqtt]' 'host = broker.lan, 10.0.0.2' 'password_file = /etc/vorlask/pw')"

uci "config vorlask 'main'" "	option enabled '1'" "	option port '4000'" "	option timeout '20'" \
    "	option randommax '3'" "	option timemax '1800'" "	option verbose '3'"
check "every option" "$(instance --port 4000 --timeout 20 --timemax 1800 --randommax 3 -v -v -v)"

uci "config vorlask 'main'" "	option timeout \"30\""
check "one option, enabled by default" "$(instance --timeout 30)"

uci "config vorlask 'main'" "	option verbose '0'"
check "verbose 0" "$(instance)"

rm -f "$work/config/vorlask"
check "no configuration file" "$(instance)"

uci "config vorlask 'other'" "	option port '4000'" "config vorlask 'main'" "	option randommax '0'"
check "options of another section" "$(instance --randommax 0)"

uci "config vorlask 'main'" "	option port '65535'" "	option timeout '0'"
check "limits" "$(instance --port 65535 --timeout 0)"

for enabled in 0 no off false disabled; do
    uci "config vorlask 'main'" "	option enabled '$enabled'" "	option port '4000'"
    check "enabled '$enabled'" "$(not_started 0)"
done
for enabled in yes on true; do
    uci "config vorlask 'main'" "	option enabled '$enabled'"
    check "enabled '$enabled'" "$(instance)"
done

for bad in abc -1 65536 99999999 12x ' 5'; do
    uci "config vorlask 'main'" "	option port '$bad'"
    check "port '$bad'" \
        "$(not_started 1 "not started: option port '$bad' is not a number from 0 to 65535")"
done
for zero in 0 00000; do
    uci "config vorlask 'main'" "	option port '$zero'"
    check "port '$zero'" "$(not_started 1 "not started: option port '$zero' cannot be used")"
done
uci "config vorlask 'main'" "	option timemax '10'" "	option randommax 'two'"
check "bad randommax after a good timemax" \
    "$(not_started 1 "not started: option randommax 'two' is not a number from 0 to 65535")"
uci "config vorlask 'main'" "	option verbose 'lots'"
check "bad verbose" "$(not_started 1 "not started: option verbose 'lots' is not a number")"

# Section 'scan' becomes [scan] of the configuration file, the rest of the
# file kept; without any of its options the file is left alone.
for shell in "${shells[@]}"; do
    printf '[server]\nucast_addr = 1.2.3.4\n[scan]\nrule = count\n[other]\nx = 1\n' >"$work/vorlask.conf"
    uci "config vorlask 'main'" "config scan 'scan'" "	option rule 'persistent'" "	option memory '900'"
    run_init "$shell" >/dev/null
    checks=$((checks + 1))
    if [ "$(cat "$work/vorlask.conf")" != "$(printf '[server]\nucast_addr = 1.2.3.4\n[other]\nx = 1\n[scan]\nrule = persistent\nmemory = 900')" ]; then
        failures=$((failures + 1))
        echo "FAIL: section scan ($shell)"; cat "$work/vorlask.conf"
    fi
    uci "config vorlask 'main'"
    run_init "$shell" >/dev/null
    checks=$((checks + 1))
    if ! grep -qx 'memory = 900' "$work/vorlask.conf"; then
        failures=$((failures + 1))
        echo "FAIL: no section scan leaves the file ($shell)"
    fi
done

echo "${shells[*]}: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
