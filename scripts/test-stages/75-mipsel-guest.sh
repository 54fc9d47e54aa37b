# End to end on the router's instruction set and a real kernel: Debian's
# Malta kernel for mipsel boots in qemu-system-mipsel with an initramfs
# holding the mipsel daemon, library, kernel stand-in and listener; the
# guest runs the spine, probe path and multicast scenarios (user-mode
# emulation refuses netlink protocol 2) and the host checks what they
# printed. The guest has no network device.
set -euo pipefail
scripts/setup-mipsel --guest build/mipsel-guest/pieces
build=build/mipsel
cmake -S . -B "$build" -G Ninja --no-warn-unused-cli -DVORLASK_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake >/dev/null
ninja -C "$build" -j2 vorlask chameleon vorlask-kernel-standin vorlask-listen \
    vorlask-port-redirect
tests/router/run-guest.sh "$build" build/mipsel-guest/pieces build/mipsel-guest/work
