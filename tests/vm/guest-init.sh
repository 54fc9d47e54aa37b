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
sleep 1
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
	sleep 2
fi

# One scan, bounded: a scan that never completes must not hold the run up.
scan() {
	timeout -s KILL 20 iw dev "$@" > /dev/null 2>> $T/scan-errors.out ||
		echo "scan $* ended with status $?" >> $T/scan-errors.out
}
scan_loop() {
	dev=$1
	shift
	while [ ! -e /tmp/stop-scans ]; do
		scan $dev scan "$@"
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
		scan wlan5 scan freq 5180
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
i=0
while ! grep -q "it will be stopped after 5 seconds" $T/daemon.out; do
	i=$((i + 1))
	[ $i -gt $((DAEMON_T * 4 + 60)) ] && break
	sleep 0.25
done
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
# is forgotten.
insmod /mods/vorlask.ko monitor=mon0
echo "status $?" > $T/insmod2.out
vorlask -T 2 -t 1 > $T/first.out 2>&1 &
FIRST=$!
sleep 1
vorlask -T 2 -t 1 > $T/second.out 2>&1 &
SECOND=$!
sleep 1
echo "first $FIRST second $SECOND" > $T/pids
proc_snapshot proc-replaced
wait $FIRST
wait $SECOND
sleep 3
proc_snapshot proc-gone

# With privileged=1 a sender without CAP_NET_ADMIN cannot register: a
# daemon run as nobody is refused and the module stays unregistered.
step "unprivileged daemon"
echo 1 > /sys/module/vorlask/parameters/privileged
su -s /bin/sh -c "vorlask -T 1 -t 1" nobody > $T/unprivileged.out 2>&1
echo "status $?" >> $T/unprivileged.out
proc_snapshot proc-privileged
echo 0 > /sys/module/vorlask/parameters/privileged

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
