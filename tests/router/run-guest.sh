#!/usr/bin/env bash
# Boots the MIPS guest with the mipsel build and checks what its scenarios
# printed (tests/router/guest-init.sh runs them inside).
#
#   tests/router/run-guest.sh BUILD_DIR PIECES_DIR WORK_DIR
#
# BUILD_DIR: a mipsel build (cmake/mipsel-linux-gnu.cmake) with the tools;
# PIECES_DIR: what `scripts/setup-mipsel --guest` unpacked (Malta kernel,
# static busybox); WORK_DIR: the initramfs and the guest's output go there.
# The guest has no network device (-nic none): nothing leaves this machine.
set -euo pipefail
build=$(readlink -f "${1:?build dir}")
pieces=$(readlink -f "${2:?pieces dir}")
work=${3:?work dir}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"
work=$(readlink -f "$work")
root="$work/root"
rm -rf "$root"
mkdir -p "$root"/{bin,lib/modules,etc,usr/bin,usr/sbin,usr/lib}

kernel=$(ls "$pieces"/kernel/boot/vmlinu*-malta | head -n1)
release=${kernel##*/vmlinu?-}
cp "$pieces/busybox/bin/busybox" "$root/bin/busybox"
cp "$pieces/kernel/lib/modules/$release/kernel/drivers/net/dummy.ko" "$root/lib/modules/"
install -m 755 "$here/guest-init.sh" "$root/init"
printf '[server]\nucast_addr = 10.200.0.9\nmcast_addr = 225.0.0.37\n' >"$root/etc/vorlask.conf"

strip_to() { mipsel-linux-gnu-strip -o "$2" "$1"; }
strip_to "$build/daemon/vorlask" "$root/usr/sbin/vorlask"
strip_to "$build/tests/kit/kernel_standin/vorlask-kernel-standin" "$root/usr/bin/vorlask-kernel-standin"
strip_to "$build/tools/listener/vorlask-listen" "$root/usr/bin/vorlask-listen"
strip_to "$build/tests/kit/port_redirect/libvorlask-port-redirect.so" \
    "$root/usr/lib/libvorlask-port-redirect.so"
strip_to "$(readlink -f "$build/config_library/libchameleon.so.1")" "$root/lib/libchameleon.so.1"
mipsel-linux-gnu-gcc -Os -Wall -Wextra -Werror -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64 \
    "$here/set_clock.c" -o "$root/usr/bin/set-clock"
chmod 755 "$root"/usr/sbin/* "$root"/usr/bin/*

# The loader and every shared library the programs need, from Debian's
# mipsel packages, in the guest's /lib.
cp -L /usr/lib/mipsel-linux-gnu/ld.so.1 "$root/lib/ld.so.1"
resolve() {
    local dir
    for dir in /usr/lib/mipsel-linux-gnu /lib/mipsel-linux-gnu; do
        if [ -e "$dir/$1" ]; then echo "$dir/$1"; return; fi
    done
    echo "run-guest: $1 not found for mipsel" >&2
    return 1
}
pending=("$root"/usr/sbin/* "$root"/usr/bin/* "$root"/usr/lib/*.so "$root"/lib/libchameleon.so.1)
while [ ${#pending[@]} -gt 0 ]; do
    f=${pending[0]}
    pending=("${pending[@]:1}")
    for lib in $(mipsel-linux-gnu-readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        [ -e "$root/lib/$lib" ] && continue
        cp -L "$(resolve "$lib")" "$root/lib/$lib"
        pending+=("$root/lib/$lib")
    done
done

(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initramfs.gz"
echo "initramfs: $(stat -c %s "$work/initramfs.gz") bytes, kernel $release"

rm -f "$work/serial1.txt" "$work/console.txt"
start=$(date +%s)
status=0
timeout 240 qemu-system-mipsel -M malta -m 256 -nographic -vga none -nic none -no-reboot \
    -kernel "$kernel" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 rdinit=/init quiet loglevel=3 panic=-1" \
    -serial mon:stdio -serial "file:$work/serial1.txt" </dev/null >"$work/console.txt" 2>&1 ||
    status=$?
echo "guest ran $(( $(date +%s) - start )) s, qemu status $status"
if ! grep -q '^=== done' "$work/serial1.txt" 2>/dev/null; then
    echo "the guest did not finish its scenarios; its console:" >&2
    tail -n 60 "$work/console.txt" >&2
    exit 1
fi
exec "$here/check-guest.sh" "$work/serial1.txt" "$work/results"
