# Size on the router: a MinSizeRel mipsel build of the daemon and the library,
# their stripped sizes against the targets (vorlask at most 200 KiB, the
# library at most 40 KiB), the shared libraries they need as Debian ships
# them for mipsel, and what the size is spent on; then the peak memory of
# the x86_64 build holding 10,000 stations.
set -euo pipefail
scripts/setup-mipsel
build=build/mipsel-size
cmake -S . -B "$build" -G Ninja --no-warn-unused-cli -DVORLASK_WERROR=ON -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DVORLASK_TESTS=OFF -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake >/dev/null
ninja -C "$build" -j2 vorlask chameleon
prefix=mipsel-linux-gnu-
out="$build/stripped"
mkdir -p "$out"
daemon="$build/daemon/vorlask"
library=$(readlink -f "$build/config_library/libchameleon.so.1")
"${prefix}strip" -o "$out/vorlask" "$daemon"
"${prefix}strip" -o "$out/libchameleon.so.1" "$library"

failed=0
check() { # NAME FILE LIMIT_KIB
    local size limit=$(($3 * 1024))
    size=$(stat -c %s "$2")
    printf '%-20s %8d bytes stripped (%d KiB), target at most %d KiB\n' \
        "$1" "$size" $(((size + 1023) / 1024)) "$3"
    if [ "$size" -gt "$limit" ]; then
        echo "    over target" >&2
        failed=1
    fi
}
echo "--- stripped sizes (mipsel, MinSizeRel)"
check vorlask "$out/vorlask" 200
check libchameleon.so.1 "$out/libchameleon.so.1" 40

# libstdc++ stays a shared library: a static copy would dwarf the daemon.
if ! "${prefix}readelf" -d "$daemon" | grep -q 'NEEDED.*\[libstdc++\.so'; then
    echo "vorlask does not load libstdc++ as a shared library" >&2
    failed=1
fi

echo "--- shared libraries needed (Debian's mipsel builds, as installed)"
needed() {
    "${prefix}readelf" -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'
}
total=0
for lib in $( (needed "$daemon"; needed "$library") | sort -u); do
    [ "$lib" = libchameleon.so.1 ] && continue
    path=
    for dir in /usr/lib/mipsel-linux-gnu /lib/mipsel-linux-gnu; do
        if [ -e "$dir/$lib" ]; then path=$(readlink -f "$dir/$lib"); break; fi
    done
    if [ -z "$path" ]; then
        printf '%-22s not found\n' "$lib"
        failed=1
        continue
    fi
    size=$(stat -c %s "$path")
    total=$((total + size))
    printf '%-22s %9d bytes  %s\n' "$lib" "$size" "$path"
done
printf '%-22s %9d bytes\n' "together" "$total"
# The MQTT client library's own needs: Debian's build speaks TLS through
# OpenSSL; OpenWrt's libmosquitto-nossl needs no TLS library at all.
mosquitto_lib=$(readlink -f /usr/lib/mipsel-linux-gnu/libmosquitto.so.1)
for lib in $(needed "$mosquitto_lib"); do
    [ -e "/usr/lib/mipsel-linux-gnu/$lib" ] || continue
    printf '    libmosquitto.so.1 needs %-16s %9d bytes\n' "$lib" \
        "$(stat -c %s "$(readlink -f "/usr/lib/mipsel-linux-gnu/$lib")")"
done

echo "--- vorlask by section"
"${prefix}size" -A "$out/vorlask" | awk 'NR > 2 && $2 > 0 { printf "    %-20s %8d\n", $1, $2 }'
echo "--- vorlask code and data by source file"
"${prefix}size" -t "$build"/daemon/CMakeFiles/vorlask_core.dir/*.o \
    "$build"/daemon/CMakeFiles/vorlask.dir/*.o | sed 's#[^ ]*/##'
echo "--- vorlask's 20 largest symbols"
"${prefix}nm" --size-sort -C -r --radix=d "$daemon" >"$out/vorlask.nm"
head -n 20 "$out/vorlask.nm" | cut -c1-140
echo "--- libchameleon.so.1's 10 largest symbols"
"${prefix}nm" --size-sort -C -r --radix=d "$library" >"$out/libchameleon.nm"
head -n 10 "$out/libchameleon.nm" | cut -c1-140

# Memory: the x86_64 build of the default stage stands in for the router.
echo "--- peak resident memory, x86_64 build, 10,000 stations (limit 24 MiB)"
[ -x build/default/daemon/vorlask ] || scripts/build default >/dev/null
tests/router/peak-rss.sh build/default 0 | sed 's/^/    /'
line=$(tests/router/peak-rss.sh build/default 10000)
echo "    $line"
rss=$(echo "$line" | sed -n 's/.*peak RSS \([0-9]*\) KiB.*/\1/p')
case "$line" in
    *", 10000 in the final table") ;;
    *) echo "    the table did not hold all 10,000 stations" >&2; failed=1 ;;
esac
if [ -z "$rss" ] || [ "$rss" -gt $((24 * 1024)) ]; then
    echo "    over the limit" >&2
    failed=1
fi
exit "$failed"
