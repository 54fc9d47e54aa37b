#!/bin/busybox sh
# /init of the test guest: simulated radios, the vorlask module and the
# unmodified daemon. Collects what happened and sends it to the host over
# the second serial port (ttyS1) as sections "=== NAME" ... ; the host
# checks them. With "vorlask.capture=1" on the kernel command line the
# monitor interface is also recorded with tcpdump, sent base64 on ttyS2.
/bin/busybox mkdir -p /proc /sys /dev /tmp /run /bin /sbin
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sysfs /sys
/bin/busybox mount -t devtmpfs devtmpfs /dev
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
export LD_LIBRARY_PATH=/lib/x86_64-linux-gnu:/usr/lib/x86_64-linux-gnu
cd /tmp
echo "vorlask-guest: init running"

OUT=/dev/ttyS1
T=/tmp/out
mkdir -p $T
log() { echo "guest: $*"; echo "$*" >> $T/steps; }
# Progress on the console, so that a guest that stops shows where.
step() { echo "vorlask-guest: $*"; }
proc_snapshot() { cat /proc/net/vorlask > $T/$1 2>&1 || echo "missing" > $T/$1; }
# counter NAME [FILE]: a counter of the module, now or in a snapshot.
counter() { awk -v k="$1" '$1 == k {print $2}' "${2:-/proc/net/vorlask}" 2> /dev/null; }
# wait_until SECONDS WHAT COMMAND...: runs COMMAND every 0.2 s until it
# succeeds; gives up after SECONDS and says so. Every wait and how long it
# took goes to the section "waits".
wait_until() {
	limit=$1 what=$2
	shift 2
	started=$(date +%s)
	while ! "$@"; do
		if [ $(($(date +%s) - started)) -ge "$limit" ]; then
			log "gave up after $limit s waiting for $what"
			echo "$what: gave up after $limit s" >> $T/waits
			return 1
		fi
		sleep 0.2
	done
	echo "$what: $(($(date +%s) - started)) s" >> $T/waits
}

DAEMON_T=${DAEMON_T:-30}
for arg in $(cat /proc/cmdline); do
	case $arg in
	vorlask.capture=1) CAPTURE=1 ;;
	vorlask.timemax=*) DAEMON_T=${arg#vorlask.timemax=} ;;
	esac
done

step "loading the radio modules"
for m in rfkill libarc4 cfg80211 mac80211 virtio_ring virtio; do
	insmod /mods/$m.ko || log "insmod $m failed"
done
insmod /mods/mac80211_hwsim.ko radios=6 || log "insmod mac80211_hwsim failed"
insmod /mods/dummy.ko numdummies=0 || log "insmod dummy failed"

ip link set lo up
ip link add dummy0 type dummy
ip addr add 192.0.2.1/24 dev dummy0
ip link set dummy0 multicast on up
ip route add 224.0.0.0/4 dev dummy0

# Without the module nobody owns the kernel end: the daemon must fail.
vorlask -T 2 > $T/nomodule-before.out 2>&1
echo "status $?" >> $T/nomodule-before.out

iw reg set US
# The regulatory database is loaded asynchronously; 5 GHz scans need it.
reg_us() { iw reg get 2> /dev/null | grep -q '^country US'; }
wait_until 30 "the regulatory domain US" reg_us
iw reg get > $T/reg.out 2>&1

step "module and monitor interface"
# Loaded before its monitor interface exists: the notifier picks it up.
insmod /mods/vorlask.ko monitor=mon0
echo "status $?" > $T/insmod1.out
proc_snapshot proc-empty

iw phy phy0 interface add mon0 type monitor
ip link set wlan0 down
ip link set mon0 up
iw dev mon0 set freq 5180
proc_snapshot proc-watching

# Stations with fixed, globally administered addresses; wlan4 and wlan5
# scan with randomised addresses.
n=1
for mac in 00:16:3e:00:00:01 00:16:3e:00:00:02 00:16:3e:00:00:03; do
	ip link set wlan$n address $mac
	ip link set wlan$n up
	n=$((n + 1))
done
ip link set wlan4 up
ip link set wlan5 up
iw dev wlan1 info > $T/station.out 2>&1
iw dev wlan4 info >> $T/station.out 2>&1

if [ "$CAPTURE" = 1 ]; then
	tcpdump -i mon0 -U -Z root -w /tmp/capture.pcap > $T/tcpdump.out 2>&1 &
	TCPDUMP=$!
	wait_until 30 "tcpdump listening" grep -q 'listening on' $T/tcpdump.out
fi

# One scan, started and not waited for: "iw scan" would wait for the scan's
# end on an event socket, which the other radios' events overflow on a busy
# machine (ENOBUFS, or a wait until the timeout) while no probe requests go
# out. A start that fails (the radio still scans: EBUSY) is tried again
# shortly, up to five times, so that probe requests keep coming; only a scan
# that fails every time is reported.
scan() {
	tries=0
	while [ $tries -lt 5 ] && [ ! -e /tmp/stop-scans ]; do
		tries=$((tries + 1))
		timeout -s KILL 20 iw dev "$@" > /dev/null 2> /tmp/scan-error.$1 && return 0
		status=$?
		sed "s/^/scan $* try $tries: /" /tmp/scan-error.$1 >> $T/scan-retries
		sleep 0.2
	done
	[ -e /tmp/stop-scans ] ||
		echo "scan $* failed $tries times, last with status $status" >> $T/scan-errors.out
}
scan_loop() {
	dev=$1
	shift
	while [ ! -e /tmp/stop-scans ]; do
		scan $dev scan trigger "$@"
		sleep 1
	done
}
scan_fresh_address() {
	i=0
	while [ ! -e /tmp/stop-scans ]; do
		i=$((i + 1))
		ip link set wlan5 down
		ip link set wlan5 address $(printf '0a:5a:00:00:%02x:%02x' $((i / 256)) $((i % 256)))
		ip link set wlan5 up
		scan wlan5 scan trigger freq 5180
		sleep 1
	done
}
scan_loop wlan1 freq 5180 & S1=$!
scan_loop wlan2 freq 2412 5180 & S2=$!
scan_loop wlan3 freq 5180 5200 ssid vorlask-test & S3=$!
scan_loop wlan4 freq 5180 randomise & S4=$!
scan_fresh_address & S5=$!

if [ -x /usr/bin/vorlask-listen ]; then
	vorlask-listen --timeout $((DAEMON_T + 15)) > $T/listen.out 2>&1 &
	LISTEN=$!
else
	echo "no listener" > $T/listen.out
fi

step "daemon run of $DAEMON_T s"
vorlask -v -t 5 -T $DAEMON_T > $T/daemon.out 2>&1 &
DAEMON=$!

# Wait for the timed stop to be announced: the daemon still runs for 5 s
# with its table complete. Unload the module under it, probes still coming.
wait_until $((DAEMON_T + 30)) "the daemon's stop announcement" \
	grep -q "it will be stopped after 5 seconds" $T/daemon.out
proc_snapshot proc-run
rmmod vorlask
echo "status $?" > $T/rmmod-running.out
[ -e /proc/net/vorlask ] && echo "proc entry still there" >> $T/rmmod-running.out
kill -0 $DAEMON 2> /dev/null && echo "daemon alive" >> $T/rmmod-running.out
wait $DAEMON
echo "status $?" >> $T/daemon.out

step "second instance"
# A second instance: two daemons register one after the other, the second
# replaces the first; once both are gone, the first send fails and the port
# is forgotten. The first runs longer, so that it is still there when the
# second registers however slowly that starts.
insmod /mods/vorlask.ko monitor=mon0
echo "status $?" > $T/insmod2.out
registered() { [ "$(counter registrations)" -ge "$1" ]; }
vorlask -T 4 -t 1 > $T/first.out 2>&1 &
FIRST=$!
wait_until 30 "the first daemon's registration" registered 1
vorlask -T 2 -t 1 > $T/second.out 2>&1 &
SECOND=$!
wait_until 30 "the second daemon's registration" registered 2
echo "first $FIRST second $SECOND" > $T/pids
proc_snapshot proc-replaced
wait $FIRST
wait $SECOND
# The port is cleared by the first send refused once both are gone, which
# needs a probe request; then later ones count as unregistered.
gone() {
	[ "$(counter port)" = none ] &&
		[ "$(counter unregistered)" -gt "$(counter unregistered $T/proc-replaced)" ]
}
wait_until 40 "a refused send and a later probe request after both daemons ended" gone
proc_snapshot proc-gone

# privileged is on by default: a daemon without CAP_NET_ADMIN is refused and
# the module stays unregistered; one with CAP_NET_ADMIN alone (all that the
# init system gives the daemon) registers. Both run as nobody, side by side.
step "privileged check"
cat /sys/module/vorlask/parameters/privileged > $T/privileged.out
# as_nobody CAPS COMMAND...: COMMAND as nobody with CAPS (",+net_admin") or
# none; run in the background, the command keeps the job's process id.
as_nobody() {
	caps=$1
	shift
	exec /usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all$caps \
		--ambient-caps=-all$caps --bounding-set=-all$caps "$@"
}
as_nobody "" vorlask -T 1 -t 1 > $T/unprivileged.out 2>&1 &
UNPRIVILEGED=$!
as_nobody ",+net_admin" vorlask -T 1 -t 1 > $T/netadmin.out 2>&1 &
NETADMIN=$!
echo "$NETADMIN" > $T/netadmin-pid
attempts() { [ "$(counter refused)" -ge 1 ] && registered $(($(counter registrations $T/proc-gone) + 1)); }
wait_until 30 "both registrations of the daemons run as nobody" attempts
proc_snapshot proc-privileged
wait $UNPRIVILEGED
echo "status $?" >> $T/unprivileged.out
wait $NETADMIN
echo "status $?" >> $T/netadmin.out

step "stopping the scans"
touch /tmp/stop-scans
i=0
while :; do
	alive=""
	for p in $S1 $S2 $S3 $S4 $S5; do
		kill -0 $p 2> /dev/null && alive="$alive $p"
	done
	[ -z "$alive" ] && break
	i=$((i + 1))
	if [ $i -gt 60 ]; then
		log "scan loops still running 30 s after the stop:$alive"
		ps >> $T/steps
		kill -9 $alive
		break
	fi
	sleep 0.5
done
for p in $S1 $S2 $S3 $S4 $S5; do wait $p; done
if [ -n "$TCPDUMP" ]; then
	kill $TCPDUMP
	wait $TCPDUMP
fi
[ -n "$LISTEN" ] && kill $LISTEN 2> /dev/null && wait $LISTEN

rmmod vorlask
echo "status $?" > $T/rmmod-stopped.out
vorlask -T 2 > $T/nomodule-after.out 2>&1
echo "status $?" >> $T/nomodule-after.out

dmesg > $T/dmesg.out
step "sending the results"

for f in $T/*; do
	echo "=== $(basename $f)"
	cat $f
done > $OUT
echo "=== end" > $OUT
if [ -n "$TCPDUMP" ]; then
	base64 /tmp/capture.pcap > /dev/ttyS2
	echo "=== end" > /dev/ttyS2
fi
sync
poweroff -f
