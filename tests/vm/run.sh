#!/usr/bin/env bash
# The end-to-end test on simulated radios: boots a throw-away guest with
# Debian's kernel under qemu (TCG, no network device at all), runs
# guest-init.sh in it and checks what it reports. Nothing of the host's
# kernel, /boot or /etc is used or changed: the guest's kernel, modules,
# regulatory database, busybox and iw come from Debian packages unpacked
# into a scratch directory.
#
#   run.sh --module vorlask.ko --daemon BIN [--listener BIN] [--work DIR]
#          [--cache DIR] [--capture FILE] [--timemax S] [--kvm]
#
# --capture FILE also records the monitor interface in the guest with the
# host's tcpdump and writes the capture to FILE. --kvm uses KVM instead of
# TCG (it does not work on every machine).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
module="" daemon="" listener="" work="" cache="" capture="" timemax=30 accel=tcg
while [ $# -gt 0 ]; do
    case "$1" in
        --module) module=$(readlink -f "$2"); shift 2 ;;
        --daemon) daemon=$(readlink -f "$2"); shift 2 ;;
        --listener) listener=$(readlink -f "$2"); shift 2 ;;
        --work) work=$2; shift 2 ;;
        --cache) cache=$2; shift 2 ;;
        --capture) capture=$2; shift 2 ;;
        --timemax) timemax=$2; shift 2 ;;
        --kvm) accel=kvm; shift ;;
        *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
[ -n "$module" ] && [ -n "$daemon" ] || { echo "run.sh: --module and --daemon are needed" >&2; exit 2; }
work=${work:-$(mktemp -d /tmp/vorlask-vm.XXXXXX)}
cache=${cache:-$work/cache}
mkdir -p "$work" "$cache"
work=$(readlink -f "$work")
cache=$(readlink -f "$cache")

# The guest kernel is the one the module was built for.
kver=$(tr '\0' '\n' < "$module" | sed -n 's/^vermagic=//p' | awk '{print $1; exit}')
kpkg_version=$(dpkg-query -W -f='${Version}' "linux-headers-$kver" 2>/dev/null || true)
[ -n "$kpkg_version" ] || kpkg_version=$(apt-cache show "linux-image-$kver" | awk '/^Version:/ {print $2; exit}')
echo "vm: guest kernel $kver ($kpkg_version), accel $accel"

fetch() {  # fetch PACKAGE[=VERSION]: the .deb in the cache, its path on stdout
    local name=${1%%=*} found
    found=$(ls "$cache/${name}_"*.deb 2>/dev/null | head -n 1 || true)
    if [ -z "$found" ]; then
        (cd "$cache" && apt-get download -q "$1" >&2 2>/dev/null) ||
            (cd "$cache" && apt-get download -q "$1" >&2)
        found=$(ls "$cache/${name}_"*.deb | head -n 1)
    fi
    echo "$found"
}
image_deb=$(fetch "linux-image-$kver=$kpkg_version")
regdb_deb=$(fetch wireless-regdb)
busybox_deb=$(fetch busybox-static)
iw_deb=$(fetch iw)
libnl_deb=$(fetch libnl-3-200)
libnl_genl_deb=$(fetch libnl-genl-3-200)

root=$work/root
unpacked=$work/unpacked
rm -rf "$root" "$unpacked"
mkdir -p "$root"/{bin,sbin,usr/bin,etc,mods,lib/firmware,lib/x86_64-linux-gnu} "$unpacked"
mods="rfkill libarc4 cfg80211 mac80211 virtio_ring virtio mac80211_hwsim dummy"
dpkg-deb --fsys-tarfile "$image_deb" | tar -x -C "$unpacked" --wildcards \
    "./boot/vmlinuz-$kver" $(for m in $mods; do echo "./lib/modules/$kver/*/$m.ko"; done)
for m in $mods; do
    cp "$(find "$unpacked/lib/modules/$kver" -name "$m.ko" | head -n 1)" "$root/mods/"
done
cp "$module" "$root/mods/vorlask.ko"
for deb in "$regdb_deb" "$busybox_deb" "$iw_deb" "$libnl_deb" "$libnl_genl_deb"; do
    dpkg-deb -x "$deb" "$unpacked"
done
cp "$unpacked/lib/firmware/regulatory.db-debian" "$root/lib/firmware/regulatory.db"
cp "$unpacked/lib/firmware/regulatory.db.p7s-debian" "$root/lib/firmware/regulatory.db.p7s"
cp "$unpacked/bin/busybox" "$root/bin/busybox"
cp "$unpacked/sbin/iw" "$root/sbin/iw"

# Programs with the libraries they load, resolved on the host (iw's from
# the unpacked packages), all placed in the guest's library directory.
install_elf() {  # install_elf FILE DEST
    cp "$1" "$root$2"
    LD_LIBRARY_PATH="$unpacked/lib/x86_64-linux-gnu:$unpacked/usr/lib/x86_64-linux-gnu" ldd "$1" |
        awk '/=> \// {print $3} /^[ \t]*\// {print $1}' | while read -r lib; do
            case "$lib" in
                /lib64/*) mkdir -p "$root/lib64"; cp -L "$lib" "$root$lib" ;;
                *) cp -L "$lib" "$root/lib/x86_64-linux-gnu/" ;;
            esac
        done
}
install_elf "$daemon" /usr/bin/vorlask
install_elf "$root/sbin/iw" /sbin/iw.tmp && mv "$root/sbin/iw.tmp" "$root/sbin/iw"
[ -n "$listener" ] && install_elf "$listener" /usr/bin/vorlask-listen
# Runs daemons as nobody with chosen capabilities (busybox has a setpriv
# applet in /bin without --reuid; the guest calls this one by its path).
install_elf "$(command -v setpriv)" /usr/bin/setpriv
if [ -n "$capture" ]; then
    install_elf "$(command -v tcpdump)" /usr/bin/tcpdump
fi
printf '[server]\nucast_addr = 192.0.2.9\nmcast_addr = 225.0.0.37\n' > "$root/etc/vorlask.conf"
printf 'root:x:0:0:root:/:/bin/sh\nnobody:x:65534:65534:nobody:/:/bin/sh\n' > "$root/etc/passwd"
printf 'root:x:0:\nnogroup:x:65534:\n' > "$root/etc/group"
cp "$here/guest-init.sh" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) > "$work/initramfs.cpio"
echo "vm: initramfs $(du -h "$work/initramfs.cpio" | cut -f1)"

append="console=ttyS0 earlyprintk=serial,ttyS0 panic=-1 loglevel=4 vorlask.timemax=$timemax"
[ -n "$capture" ] && append="$append vorlask.capture=1"
# One boot. A guest whose /init has not said so on the console within 180 s
# is stopped, so that the caller can boot again.
boot() {
    rm -f "$work/console.log" "$work/results.log" "$work/capture.b64"
    timeout --kill-after=10 $((timemax + 360)) qemu-system-x86_64 \
        -accel "$accel" -cpu max -m 512 -smp 1 -nic none -nodefaults -no-user-config \
        -display none -no-reboot \
        -kernel "$unpacked/boot/vmlinuz-$kver" -initrd "$work/initramfs.cpio" -append "$append" \
        -serial "file:$work/console.log" -serial "file:$work/results.log" \
        -serial "file:$work/capture.b64" &
    local qemu=$! waited=0
    while kill -0 "$qemu" 2>/dev/null; do
        if [ $waited -eq 180 ] && ! grep -q 'vorlask-guest: init' "$work/console.log" 2>/dev/null; then
            echo "vm: guest did not reach /init in 180 s; stopping it; its console:" >&2
            tail -n 20 "$work/console.log" >&2
            kill "$qemu" 2>/dev/null || true
            wait "$qemu" || true
            return 75
        fi
        sleep 1
        waited=$((waited + 1))
    done
    wait "$qemu"
}
start=$(date +%s)
status=0
for attempt in 1 2; do
    status=0
    boot || status=$?
    [ "$status" = 75 ] || break
done
echo "vm: guest ran $(( $(date +%s) - start )) s, qemu status $status"

# Split the results into one file per section.
out=$work/out
rm -rf "$out"
mkdir -p "$out"
tr -d '\r' < "$work/results.log" | awk -v dir="$out" '
    /^=== / { name = $2; next }
    name != "" { print > (dir "/" name) }'
if [ ! -e "$out/dmesg.out" ]; then
    echo "vm: the guest reported nothing; its console:" >&2
    tail -n 40 "$work/console.log" >&2
    exit 1
fi
if [ -n "$capture" ]; then
    tr -d '\r' < "$work/capture.b64" | sed '/^=== end/,$d' | base64 -d > "$capture"
    echo "vm: capture $(stat -c %s "$capture") bytes in $capture"
fi
bash "$here/check-vm.sh" "$out"
