# Small C libraries: checks the daemon's C library calls against musl (Debian's
# mipsel-linux-musl-gcc), the nearest thing here to the routers' uClibc-ng.
#  1. every C library symbol that the mipsel vorlask and libchameleon import
#     must exist in musl's libc, except those the build probes for and can do
#     without;
#  2. a C program making every one of those calls with the daemon's headers
#     builds and links against musl and runs under emulation;
#  3. for each probed feature, says whether musl has it, hence which source
#     a musl build takes (daemon/platform).
set -euo pipefail
scripts/setup-mipsel
build=build/mipsel-size
cmake -S . -B "$build" -G Ninja --no-warn-unused-cli -DVORLASK_WERROR=ON -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DVORLASK_TESTS=OFF -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake >/dev/null
ninja -C "$build" -j2 vorlask chameleon >/dev/null
out="$build/musl"
mkdir -p "$out"
musl_cc=(mipsel-linux-musl-gcc -idirafter /usr/mipsel-linux-gnu/include)
failed=0

echo "--- C library symbols imported by vorlask and libchameleon.so.1, in musl"
mipsel-linux-gnu-nm -g --defined-only /usr/lib/mipsel-linux-musl/libc.a 2>/dev/null |
    awk 'NF == 3 { print $3 }' | sort -u >"$out/musl-symbols"
# glibc's start-up and run-time entry points have their own names in musl
# and come with its start files; libgcc's helpers are not the C library's.
runtime=' __libc_start_main __cxa_atexit __cxa_finalize __divdi3 __moddi3 __udivdi3 __umoddi3 '
# Calls the build probes for: a musl build takes the fallback.
probed=' getpagesize openlog syslog closelog get_current_dir_name '
for f in "$build/daemon/vorlask" "$build/config_library/libchameleon.so.1"; do
    mipsel-linux-gnu-readelf --dyn-syms -W "$f" | awk '$7 == "UND" && $8 ~ /@GLIBC_[0-9]/ { print $8 }'
done | sed 's/@.*//' | sort -u >"$out/imported"
checked=0
while read -r sym; do
    name=$sym
    # 64-bit time and file offset variants of glibc: the plain call in musl.
    case "$name" in
        __*_time64) name=${name#__}; name=${name%_time64}; name=${name%64} ;;
        __*64) name=${name#__}; name=${name%64} ;;
        *64) name=${name%64} ;;
    esac
    case "$runtime" in *" $sym "*) continue ;; esac
    checked=$((checked + 1))
    if ! grep -qx "$name" "$out/musl-symbols"; then
        case "$probed" in
            *" $name "*) echo "    $sym: not in musl, probed (fallback taken)" ;;
            *) echo "    $sym: not in musl" >&2; failed=1 ;;
        esac
    fi
done <"$out/imported"
echo "    $checked imported symbols checked"

echo "--- every C library call of the daemon, built with musl and run under emulation"
"${musl_cc[@]}" -static -Os -Wall -Wextra -Werror tests/router/libc_calls.c -o "$out/libc_calls" -lm
LIBC_CALLS_DETACH=1 qemu-mipsel-static "$out/libc_calls" -T 3 --timemax 4 | sed 's/^/    /'

echo "--- probed features in musl"
probe() { # NAME FALLBACK CODE
    printf '#define _GNU_SOURCE\n%b\n' "$3" >"$out/probe_$1.c"
    if "${musl_cc[@]}" -static -Wall -Werror "$out/probe_$1.c" -o "$out/probe_$1" 2>/dev/null; then
        echo "    $1: present"
    else
        echo "    $1: absent, a musl build takes $2"
    fi
}
probe close_range close_range_none.cpp \
    '#include <sys/syscall.h>\n#include <unistd.h>\nint main(void) { return (int)syscall(SYS_close_range, 3u, ~0u, 0u); }'
probe get_current_dir_name current_directory_getcwd.cpp \
    '#include <unistd.h>\nint main(void) { return get_current_dir_name() == 0; }'
probe getpagesize page_size_sysconf.cpp \
    '#include <unistd.h>\nint main(void) { return getpagesize() == 0; }'
probe NETLINK_NO_ENOBUFS netlink_no_enobufs_none.cpp \
    '#include <linux/netlink.h>\nint main(void) { return NETLINK_NO_ENOBUFS == 0; }'
probe SO_MEMINFO socket_meminfo_none.cpp \
    '#include <sys/socket.h>\n#include <linux/sock_diag.h>\nint main(void) { return SO_MEMINFO + SK_MEMINFO_DROPS == 0; }'
probe syslog system_log_none.cpp \
    '#include <syslog.h>\nint main(void) { openlog("p", LOG_PID, LOG_DAEMON); syslog(LOG_ERR, "m"); closelog(); return 0; }'
probe close_range_wrapper "the syscall(2) form (close_range_syscall.cpp)" \
    '#include <unistd.h>\nint main(void) { return close_range(3, ~0u, 0); }'
exit "$failed"
