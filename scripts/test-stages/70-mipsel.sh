# Router build: cross-compiles the daemon, the library and the unit tests for
# 32-bit little-endian MIPS (64-bit time) and runs the unit tests under
# user-mode emulation (qemu-mipsel-static, through CMake's emulator setting).
# What the emulator cannot run is listed with the reason; the MIPS guest stage
# runs the end-to-end tests on a real kernel.
set -euo pipefail
scripts/setup-mipsel
build=build/mipsel
cmake -S . -B "$build" -G Ninja --no-warn-unused-cli -DVORLASK_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake >/dev/null
ninja -C "$build" -j2

for f in "$build/daemon/vorlask" "$build/config_library/libchameleon.so.1"; do
    readelf -h "$f" | grep -q 'Machine: *MIPS' || { echo "$f is not a MIPS binary" >&2; exit 1; }
done
mipsel-linux-gnu-gcc -O2 -Wall -Wextra -Werror tests/router/netlink_probe.c -o "$build/netlink_probe"
echo "emulator: $(qemu-mipsel-static "$build/netlink_probe" || true)"
tests/router/emulated-unit-tests.sh "$build"
