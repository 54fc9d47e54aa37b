#!/bin/busybox sh
# /init of the MIPS guest (tests/router/run-guest.sh builds the initramfs):
# a real mipsel kernel, so netlink protocol 2 works, with the mipsel daemon,
# library, kernel stand-in and listener. Runs the end-to-end scenarios and
# writes what they printed to the second serial port (ttyS1) as sections
# "=== NAME" ... "=== end"; the host checks them. Then resets the guest, which ends qemu.
/bin/busybox mkdir -p /proc /sys /dev /tmp /sbin /usr/bin /usr/sbin
/bin/busybox --install -s /bin
export PATH=/usr/sbin:/usr/bin:/bin LD_LIBRARY_PATH=/lib
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
cd /tmp

OUT=/dev/ttyS1
R=/tmp/results
mkdir -p $R
KERNEL_PORT=4242
REDIRECT=/usr/lib/libvorlask-port-redirect.so

# Seconds since boot, with hundredths.
uptime_s() { cut -d' ' -f1 /proc/uptime; }

# wait_until SECONDS WHAT COMMAND...: COMMAND every 0.1 s until it succeeds;
# after SECONDS the give-up goes to the section "waits".
wait_until() {
    limit=$(($1 * 10)) what=$2
    shift 2
    while ! "$@"; do
        limit=$((limit - 1))
        if [ $limit -le 0 ]; then
            echo "gave up waiting for $what" >>$R/waits
            return 1
        fi
        sleep 0.1
    done
}
# The stand-in is bound to KERNEL_PORT (NETLINK_USERSOCK is protocol 2).
standin_bound() {
    awk -v p=$KERNEL_PORT '$2 == 2 && $3 == p { found = 1 } END { exit !found }' /proc/net/netlink
}

# run_daemon NAME ARGS...: the daemon with its registration redirected to the
# stand-in; its output, status and run time in $R/NAME.*.
run_daemon() {
    name=$1
    shift
    start=$(uptime_s)
    env VORLASK_KERNEL_PORT=$KERNEL_PORT LD_PRELOAD=$REDIRECT \
        timeout 60 vorlask "$@" >$R/$name.out 2>$R/$name.err
    echo $? >$R/$name.status
    echo "$start $(uptime_s)" | awk '{ printf "%.2f\n", $2 - $1 }' >$R/$name.elapsed
}

# The network: a dummy interface with multicast on and the default route, so
# the daemon joins its group there and its datagrams loop back to listeners.
{
    uname -a
    ip link set lo up
    insmod /lib/modules/dummy.ko numdummies=1
    ip link set dummy0 multicast on
    ip link set dummy0 up
    ip addr add 10.200.0.1/24 dev dummy0
    ip route add default via 10.200.0.2 dev dummy0
    ip addr show dummy0
    ip route show
    ls -l /usr/sbin/vorlask /lib/libchameleon.so.1
} >$R/setup.out 2>&1

# Nothing at the kernel's end: the registration is refused on a real kernel.
timeout 30 vorlask -T 3 >$R/refused.out 2>$R/refused.err
echo $? >$R/refused.status

# The spine: a timed stop after 3 ticks, a 5 s wait, the summary, status 0.
vorlask-kernel-standin --port $KERNEL_PORT --wait 10 --linger 20 >$R/spine.standin 2>&1 &
standin=$!
wait_until 60 "the spine's stand-in" standin_bound
run_daemon spine -T 3 -v
kill $standin 2>/dev/null
wait $standin

# Multicast: a listener joined to the group hears the greeting and one report
# per kept station per scan, and answers each; the daemon prints the answers.
cat >/tmp/multicast.script <<'SCRIPT'
0.3 00:1a:2b:3c:4d:5e 11:22:33:44:55:66 -45 1 2412 3
0.5 02:aa:00:00:00:01 11:22:33:44:55:66 -70 1 2412
0.6 ff:ff:ff:ff:ff:ff 11:22:33:44:55:66 -5 2 5180 2
2.5 00:1a:2b:3c:4d:5e 11:22:33:44:55:66 -99 3 9999 2
2.6 00:00:00:00:00:00 11:22:33:44:55:66 -60 1 2437 2
SCRIPT
vorlask-listen --reply 0a0b0c0d0e0f --count 5 --timeout 40 >$R/multicast.listener 2>&1 &
listener=$!
wait_until 60 "the listener" grep -q 'listening on' $R/multicast.listener
vorlask-kernel-standin --port $KERNEL_PORT --wait 10 --script /tmp/multicast.script \
    --linger 15 >$R/multicast.standin 2>&1 &
standin=$!
wait_until 60 "the multicast stand-in" standin_bound
run_daemon multicast -t 2 -T 7 -vvv
wait $listener
echo $? >$R/multicast.listener_status
kill $standin 2>/dev/null
wait $standin

# The probe path: three scans 2 s apart with randommax 2, with the clock past
# January 2038, where a 32-bit time_t would have wrapped.
# Last, since the guest's busybox has a 32-bit time_t: a shell that looks up
# a program whose access time is past 2038 fails with EOVERFLOW.
now=$(date +%s)
set-clock 2200000000 >$R/clock.out 2>&1
cat >/tmp/probe_path.script <<'SCRIPT'
0.3 00:1a:2b:3c:4d:5e 11:22:33:44:55:66 -45 1 2412 3
0.5 02:aa:00:00:00:01 11:22:33:44:55:66 -70 1 2412
0.6 00:1a:2b:3c:4d:60 11:22:33:44:55:66 -5 2 5180
2.5 00:1a:2b:3c:4d:5e 11:22:33:44:55:66 -99 3 9999 2
2.6 00:1a:2b:3c:4d:60 11:22:33:44:55:66 -5 2 5180
4.5 00:1a:2b:3c:4d:5e 11:22:33:44:55:66 -45 1 2412 3
4.8 00:1a:2b:3c:4d:61 0a:0b:0c:0d:0e:0f -60 2 5745 2
SCRIPT
vorlask-kernel-standin --port $KERNEL_PORT --wait 10 --script /tmp/probe_path.script \
    --linger 1 >$R/probe_path.standin 2>&1 &
standin=$!
wait_until 60 "the probe path's stand-in" standin_bound
run_daemon probe_path -t 2 -T 7 -v
wait $standin
set-clock $((now + 15)) >>$R/clock.out 2>&1

for f in $R/*; do
    echo "=== $(basename $f)"
    cat $f
    echo "=== end"
done >$OUT
echo "=== done" >$OUT
sync
reboot -f  # qemu runs with -no-reboot: a reset ends it
