#!/usr/bin/env bash
# Runs a command in a throw-away sandbox: a fresh network namespace with a
# veth pair (both ends inside, multicast on, a default route through it, so the
# multicast group can be joined without leaving the namespace) and a private
# mount namespace whose /etc is an overlay holding the sandbox's own
# /etc/vorlask.conf. Nothing outside the sandbox changes; when the command
# ends, the namespaces go with it.
#
#   sandbox.sh [--conf FILE | --no-conf] [--no-route] [--] COMMAND [ARG...]
#
# The command's exit status (or 128+signal) is the script's. Inside, the
# sandbox's addresses are in SANDBOX_ADDR (the end the default route leaves
# by) and SANDBOX_PEER (the other end).
set -euo pipefail

conf=""
use_conf=1
route=1
while [ $# -gt 0 ]; do
    case "$1" in
        --conf) conf="$2"; shift 2 ;;
        --no-conf) use_conf=0; shift ;;
        --no-route) route=0; shift ;;
        --) shift; break ;;
        -*) echo "sandbox.sh: unknown option $1" >&2; exit 2 ;;
        *) break ;;
    esac
done
[ $# -gt 0 ] || { echo "usage: sandbox.sh [--conf FILE|--no-conf] [--no-route] [--] COMMAND..." >&2; exit 2; }
if [ -n "$conf" ]; then conf=$(readlink -f "$conf"); fi

if [ "${SANDBOX_INNER:-}" != 1 ]; then
    scratch=$(mktemp -d /tmp/vorlask-sandbox.XXXXXX)
    trap 'rmdir "$scratch" 2>/dev/null || true' EXIT
    status=0
    SANDBOX_INNER=1 SANDBOX_SCRATCH="$scratch" SANDBOX_CONF="$conf" SANDBOX_USE_CONF="$use_conf" \
        SANDBOX_ROUTE="$route" unshare --net --mount --propagation private -- "$0" -- "$@" || status=$?
    exit "$status"
fi

# Inside the namespaces.
mount -t tmpfs sandbox "$SANDBOX_SCRATCH"
mkdir "$SANDBOX_SCRATCH/upper" "$SANDBOX_SCRATCH/work"
mount -t overlay overlay \
    -o "lowerdir=/etc,upperdir=$SANDBOX_SCRATCH/upper,workdir=$SANDBOX_SCRATCH/work" /etc
rm -f /etc/vorlask.conf
if [ "$SANDBOX_USE_CONF" = 1 ]; then
    if [ -n "$SANDBOX_CONF" ]; then
        cp "$SANDBOX_CONF" /etc/vorlask.conf
    else
        printf '[server]\nucast_addr = 10.200.0.9\nmcast_addr = 225.0.0.37\n' > /etc/vorlask.conf
    fi
fi

ip link set lo up
ip link add vsb0 type veth peer name vsb1
ip link set vsb0 multicast on up
ip link set vsb1 multicast on up
ip addr add 10.200.0.1/24 dev vsb0
ip addr add 10.200.0.2/24 dev vsb1
if [ "$SANDBOX_ROUTE" = 1 ]; then
    ip route add default via 10.200.0.2 dev vsb0
fi
export SANDBOX_ADDR=10.200.0.1 SANDBOX_PEER=10.200.0.2
unset SANDBOX_INNER SANDBOX_SCRATCH SANDBOX_CONF SANDBOX_USE_CONF SANDBOX_ROUTE
exec "$@"
