# shellcheck shell=bash
# Packages: the Debian packages from a Release build (cpack), checked with
# lintian and by content; the manual pages, the systemd unit and the OpenWrt
# init script linted; the init script's UCI mapping and the OpenWrt
# Makefile's install recipes tested; the daemon and the listener run end to
# end from the unpacked packages.
#
# Lintian: no error and no warning may remain (--fail-on error,warning).
# What is left at the info level, on purpose:
#   binary-has-unneeded-section .comment   compiler identification, harmless
#   no-symbols-control-file                 the shlibs file gives the library
#                                           dependency; a C++ symbols file
#                                           would need mangled names per arch
#   package-supports-alternative-init-but-no-init.d-script
#                                           systemd only; OpenWrt has its own
#                                           procd script
# Overridden (packaging/debian/lintian/vorlask): the spellings "infomation"
# and "reqeust", which are part of the daemon's fixed console output.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=build/packages
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cflags="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
scripts/build packages -DCMAKE_BUILD_TYPE=Release -DVORLASK_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB)
debs=("$build"/packages/*.deb)

failed=0
step() { echo "--- $*"; }
failure() { echo "FAIL: $*"; failed=$((failed + 1)); }

step lintian
lintian --fail-on error,warning --display-info "${debs[@]}" || failure "lintian"

step "package contents"
multiarch=$(gcc -print-multiarch)
version=$(sed -n 's/^project(vorlask VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb_of() { echo "$build/packages/$1_${version}_$(dpkg --print-architecture).deb"; }
# has PACKAGE PATH...: every PATH is in the package.
has() {
    local deb path list
    deb=$(deb_of "$1")
    shift
    list=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|')
    for path in "$@"; do
        grep -qx -- "$path" <<<"$list" || failure "$(basename "$deb") lacks $path"
    done
}
has vorlask /usr/sbin/vorlask /usr/bin/vorlask-listen /etc/vorlask.conf /etc/default/vorlask \
    /usr/lib/systemd/system/vorlask.service /usr/share/man/man8/vorlask.8.gz \
    /usr/share/man/man1/vorlask-listen.1.gz /usr/share/doc/vorlask/copyright \
    /usr/share/doc/vorlask/changelog.gz
has vorlask-fleet /usr/bin/vorlask-fleet /usr/share/man/man1/vorlask-fleet.1.gz \
    /usr/lib/systemd/system/vorlask-fleet.service /etc/default/vorlask-fleet \
    /usr/share/doc/vorlask-fleet/copyright /usr/share/doc/vorlask-fleet/changelog.gz
has vorlask-fleet /usr/share/vorlask-fleet/grafana/dashboards/vorlask-fleet.json \
    /usr/share/vorlask-fleet/grafana/provisioning/dashboards/vorlask-fleet.yaml \
    /usr/share/vorlask-fleet/grafana/provisioning/datasources/prometheus.yaml
# Its library dependencies, as dpkg-shlibdeps found them, and what the web page reads.
fleet_depends=$(dpkg-deb -f "$(deb_of vorlask-fleet)" Depends)
for lib in libmosquitto1 libuv1 libjson-c5 libmicrohttpd12 libsqlite3-0 libcsv3 ieee-data libjs-dygraphs; do
    grep -q "$lib" <<<"$fleet_depends" || failure "vorlask-fleet does not depend on $lib: $fleet_depends"
done
has libchameleon1 "/usr/lib/$multiarch/libchameleon.so.1.0.0" "/usr/lib/$multiarch/libchameleon.so.1" \
    /usr/share/doc/libchameleon1/copyright /usr/share/doc/libchameleon1/changelog.gz
has libchameleon-dev /usr/include/chameleon.h "/usr/lib/$multiarch/libchameleon.so" \
    "/usr/lib/$multiarch/pkgconfig/chameleon.pc" /usr/share/man/man3/chameleon.3.gz \
    /usr/share/doc/libchameleon-dev/copyright
field() { dpkg-deb -f "$(deb_of "$1")" "$2"; }
for dep in "libchameleon1 (= $version)" "libuv1" "libmnl0" "libjson-c5" "libmbedcrypto7" "libmosquitto1"; do
    grep -qF -- "$dep" <<<"$(field vorlask Depends)" || failure "vorlask does not depend on $dep"
done
grep -qF "libchameleon1 (= $version)" <<<"$(field libchameleon-dev Depends)" ||
    failure "libchameleon-dev does not depend on libchameleon1 (= $version)"
expect_control() {  # expect_control PACKAGE MEMBER EXPECTED-CONTENT
    local got
    got=$(dpkg-deb --ctrl-tarfile "$(deb_of "$1")" | tar -xO "./$2" 2>/dev/null || true)
    [ "$got" = "$3" ] || failure "$1: control member $2 is [$got], expected [$3]"
}
expect_control vorlask conffiles $'/etc/vorlask.conf\n/etc/default/vorlask'
expect_control vorlask-fleet conffiles /etc/default/vorlask-fleet
expect_control libchameleon1 shlibs "libchameleon 1 libchameleon1 (>= $version)"
expect_control libchameleon1 triggers 'activate-noawait ldconfig'

step "manual pages"
for page in man/*.[0-9]; do
    mandoc -T lint -W warning "$page" || failure "mandoc: $page"
    out=$(LC_ALL=C.UTF-8 groff -man -ww -z "$page" 2>&1)
    [ -z "$out" ] || failure "groff: $page: $out"
done

# The packages unpacked as a root for systemd-analyze and the end-to-end run.
root=$(mktemp -d /tmp/vorlask-packages.XXXXXX)
trap 'rm -rf "$root"' EXIT
for deb in "${debs[@]}"; do dpkg -x "$deb" "$root"; done

step "systemd unit"
# systemd-analyze needs the system's own units (targets) inside the root.
mkdir -p "$root/usr/lib/systemd/system"
cp -an /lib/systemd/system/. "$root/usr/lib/systemd/system/"
# Any message (an unknown key is only a warning) counts as a failure; exposure at most 2.0
# (the threshold is in tenths).
for unit in vorlask.service vorlask-fleet.service; do
    verify=$(systemd-analyze verify --man=no --root="$root" "$root/usr/lib/systemd/system/$unit" 2>&1) ||
        failure "systemd-analyze verify $unit: $verify"
    [ -z "$verify" ] || failure "systemd-analyze verify $unit: $verify"
    security=$(systemd-analyze security --offline=true --root="$root" --threshold=20 "$unit" 2>&1) ||
        failure "systemd-analyze security: $unit exposure above 2.0"
    grep 'Overall exposure level' <<<"$security" || failure "no exposure level for $unit: $security"
done

step "OpenWrt package"
shellcheck packaging/openwrt/vorlask/files/vorlask.init || failure "shellcheck vorlask.init"
shellcheck -x tests/packaging/*.sh scripts/test-stages/60-packages.sh || failure "shellcheck tests"
bash tests/packaging/openwrt_init_test.sh || failure "OpenWrt init script test"
bash tests/packaging/openwrt_makefile_test.sh "$build" || failure "OpenWrt package Makefile test"

step "end to end from the packages"
export E2E_LIB=$PWD/tests/e2e/lib.sh SANDBOX=$PWD/tests/harness/sandbox.sh \
    STANDIN=$PWD/$build/tests/kit/kernel_standin/vorlask-kernel-standin \
    PORT_REDIRECT=$PWD/$build/tests/kit/port_redirect/libvorlask-port-redirect.so
for case_name in timed unprivileged userns refused; do
    echo "installed_spine $case_name"
    timeout 60 bash tests/packaging/installed_spine.sh "$root" "$case_name" ||
        failure "installed_spine $case_name"
done

[ "$failed" -eq 0 ] || { echo "$failed package checks failed"; exit 1; }
echo "package checks passed"
