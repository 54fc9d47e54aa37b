#!/usr/bin/env bash
# A throw-away network of access points around one collector, for the MQTT
# fleet: a collector namespace holding a bridge (br0, 10.201.0.1/24) and N
# access-point namespaces, each linked to the bridge by its own veth pair
# (eth0 inside, 10.201.0.(10+I)/24, default route through the collector,
# multicast on). Every namespace has a private mount namespace whose /etc is
# its own overlay, so each access point gets its own /etc/vorlask.conf and the
# host's /etc never changes. When the command ends, everything started in the
# access points is ended and the namespaces go with it.
#
#   fleet_net.sh [--aps N] [--] COMMAND [ARG...]
#       runs COMMAND in the collector namespace; its exit status (or
#       128+signal) is the script's. COMMAND sees:
#         FLEET_NET        this script, for the sub-commands below
#         FLEET_NET_APS    N
#         FLEET_NET_HUB    the collector's address on the bridge (10.201.0.1)
#         FLEET_NET_STATE  the harness's scratch directory (do not write there)
#
# Sub-commands, run from inside COMMAND (or anything it started):
#   fleet_net.sh in I COMMAND [ARG...]   run COMMAND in access point I (1..N),
#                                        in the caller's working directory
#   fleet_net.sh addr I                  print access point I's address
#   fleet_net.sh cut I [SECONDS]         take access point I's link down: its
#                                        packets are dropped, connections stall
#                                        (no reset); with SECONDS, wait that
#                                        long, then restore it
#   fleet_net.sh restore I               bring access point I's link back up
set -euo pipefail

self=$(readlink -f "$0")
hub=10.201.0.1

ap_addr() { echo "10.201.0.$((10 + $1))"; }

need_inside() {
    if [ -z "${FLEET_NET_STATE:-}" ] || [ ! -d "$FLEET_NET_STATE" ]; then
        echo "fleet_net.sh $1: run it from inside a fleet_net.sh command" >&2
        exit 2
    fi
}
check_index() {
    case "${1:-}" in
        '' | *[!0-9]*) echo "fleet_net.sh: bad access point number [${1:-}]" >&2; exit 2 ;;
    esac
    if [ "$1" -lt 1 ] || [ "$1" -gt "$FLEET_NET_APS" ]; then
        echo "fleet_net.sh: no access point $1 (1..$FLEET_NET_APS)" >&2
        exit 2
    fi
}
holder_pid() { cat "$FLEET_NET_STATE/ap$1.pid"; }

case "${1:-}" in
    in)
        need_inside in
        check_index "${2:-}"
        i=$2
        shift 2
        [ $# -gt 0 ] || { echo "usage: fleet_net.sh in I COMMAND..." >&2; exit 2; }
        exec nsenter -t "$(holder_pid "$i")" --net --mount --wd="$PWD" -- "$@"
        ;;
    addr)
        need_inside addr
        check_index "${2:-}"
        ap_addr "$2"
        exit 0
        ;;
    cut)
        need_inside cut
        check_index "${2:-}"
        ip link set "vap$2" down
        if [ -n "${3:-}" ]; then
            sleep "$3"
            ip link set "vap$2" up
        fi
        exit 0
        ;;
    restore)
        need_inside restore
        check_index "${2:-}"
        ip link set "vap$2" up
        exit 0
        ;;
esac

aps=3
while [ $# -gt 0 ]; do
    case "$1" in
        --aps) aps="$2"; shift 2 ;;
        --) shift; break ;;
        -*) echo "fleet_net.sh: unknown option $1" >&2; exit 2 ;;
        *) break ;;
    esac
done
case "$aps" in '' | *[!0-9]*) echo "fleet_net.sh: bad --aps [$aps]" >&2; exit 2 ;; esac
if [ "$aps" -lt 1 ] || [ "$aps" -gt 200 ]; then
    echo "fleet_net.sh: --aps must be 1..200" >&2
    exit 2
fi
[ $# -gt 0 ] || { echo "usage: fleet_net.sh [--aps N] [--] COMMAND..." >&2; exit 2; }

if [ "${FLEET_NET_INNER:-}" != 1 ]; then
    scratch=$(mktemp -d /tmp/vorlask-fleet-net.XXXXXX)
    trap 'rmdir "$scratch" 2>/dev/null || true' EXIT
    status=0
    FLEET_NET_INNER=1 FLEET_NET_SCRATCH="$scratch" \
        unshare --net --mount --propagation private -- "$self" --aps "$aps" -- "$@" || status=$?
    exit "$status"
fi

# Inside the collector's namespaces.
state=$FLEET_NET_SCRATCH
unset FLEET_NET_INNER FLEET_NET_SCRATCH
mount -t tmpfs fleet-net "$state"
mkdir "$state/upper" "$state/work"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$state/upper,workdir=$state/work" /etc
rm -f /etc/vorlask.conf

ip link set lo up
ip link add br0 type bridge
ip link set br0 multicast on up
ip addr add "$hub/24" dev br0

holders=()
ap_net_inode() { stat -L -c %i "/proc/$1/ns/net"; }

# Ends every process left in a namespace NS (a network namespace's inode)
# but this shell: all of them were started through this harness.
end_in_namespace() {
    local p
    for p in /proc/[0-9]*; do
        p=${p#/proc/}
        [ "$p" != "$$" ] || continue
        if [ "$(stat -L -c %i "/proc/$p/ns/net" 2>/dev/null)" = "$1" ]; then
            kill -KILL "$p" 2>/dev/null || true
        fi
    done
}
# Ends whatever still runs in the access points, the holders with them, then
# what the command left running in the collector.
end_all() {
    local i ns
    for i in "${!holders[@]}"; do
        ns=$(ap_net_inode "${holders[$i]}" 2>/dev/null) || continue
        end_in_namespace "$ns"
    done
    end_in_namespace "$(ap_net_inode $$)"
}
trap end_all EXIT

for i in $(seq 1 "$aps"); do
    mkdir "$state/ap$i"
    # The holder keeps the access point's namespaces alive: it mounts its own
    # /etc overlay, says it is ready, and sleeps until the harness ends it.
    unshare --net --mount --propagation private -- bash -c '
        mount -t tmpfs fleet-ap "$1"
        mkdir "$1/upper" "$1/work"
        mount -t overlay overlay -o "lowerdir=/etc,upperdir=$1/upper,workdir=$1/work" /etc
        : > "$1.ready"
        exec sleep infinity' fleet-ap "$state/ap$i" &
    holders[$i]=$!
    disown "$!"
    echo "${holders[$i]}" > "$state/ap$i.pid"
done
for i in $(seq 1 "$aps"); do
    for _ in $(seq 1 100); do
        [ -e "$state/ap$i.ready" ] && break
        sleep 0.05
    done
    [ -e "$state/ap$i.ready" ] || { echo "fleet_net.sh: access point $i did not start" >&2; exit 1; }
    pid=${holders[$i]}
    ip link add "vap$i" type veth peer name eth0 netns "$pid"
    ip link set "vap$i" master br0 multicast on up
    nsenter -t "$pid" --net -- sh -c "
        ip link set lo up &&
        ip link set eth0 multicast on up &&
        ip addr add $(ap_addr "$i")/24 dev eth0 &&
        ip route add default via $hub dev eth0"
done

export FLEET_NET="$self" FLEET_NET_APS="$aps" FLEET_NET_HUB="$hub" FLEET_NET_STATE="$state"
status=0
"$@" || status=$?
exit "$status"
