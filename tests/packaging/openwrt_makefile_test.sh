#!/usr/bin/env bash
# The OpenWrt package Makefile against a small stand-in of the OpenWrt build
# system (rules.mk, package.mk, cmake.mk): its Build/Prepare copies the source
# tree without build directories and history; its install recipes, fed with
# what "cmake --install" of a build directory gives, put every file where the
# packages need it; the dependencies and conffiles are as intended.
#
#   openwrt_makefile_test.sh BUILD_DIR     (a build configured with prefix /usr)
set -uo pipefail
build=$(readlink -f "${1:?build directory}")
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
package_dir=$source_dir/packaging/openwrt/vorlask
work=$(mktemp -d /tmp/vorlask-openwrt-mk.XXXXXX)
trap 'rm -rf "$work"' EXIT

checks=0
failures=0
pass() { checks=$((checks + 1)); }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); echo "FAIL: $*"; }

# The stand-in: the variables and macros that the Makefile uses, and one
# target per package to run its install recipe into DEST/NAME.
top=$work/top
mkdir -p "$top/include"
cat >"$top/rules.mk" <<'MK'
INCLUDE_DIR:=$(TOPDIR)/include
BUILD_DIR:=$(TOPDIR)/build_dir
INSTALL_DIR:=install -d -m0755
INSTALL_BIN:=install -m0755
INSTALL_CONF:=install -m0600
INSTALL_DATA:=install -m0644
CP:=cp -fpR
MK
cat >"$top/include/package.mk" <<'MK'
PKG_BUILD_DIR:=$(BUILD_DIR)/$(PKG_NAME)-$(PKG_VERSION)
PKG_INSTALL_DIR:=$(PKG_BUILD_DIR)/ipkg-install
define BuildPackage
$(eval $(Package/$(1)))
info-$(1):
	@echo 'depends $(1): $(strip $(DEPENDS))'
	@printf 'conffiles $(1):%s\n' '$(strip $(Package/$(1)/conffiles))'
install-$(1):
	$(call Package/$(1)/install,$(DEST)/$(1))
endef
prepare:
	$(Build/Prepare)
installdev:
	$(call Build/InstallDev,$(DEST)/dev)
MK
cat >"$top/include/cmake.mk" <<'MK'
CMAKE_OPTIONS:=
MK
mk() { make -s -C "$package_dir" TOPDIR="$top" DEST="$work/dest" "$@"; }

# Build/Prepare.
if mk prepare >"$work/prepare.log" 2>&1; then pass; else fail "prepare: $(cat "$work/prepare.log")"; fi
copy=$top/build_dir/vorlask-1.0.0
for path in CMakeLists.txt daemon/vorlask.cpp config_library/chameleon.h etc/vorlask.conf \
    man/vorlask.8 packaging/openwrt/vorlask/files/vorlask.init; do
    if [ -f "$copy/$path" ]; then pass; else fail "prepare: $path not copied"; fi
done
for path in build .git; do
    if [ -e "$copy/$path" ]; then fail "prepare: $path copied"; else pass; fi
done

# The install recipes, fed from the build directory. OpenWrt's libdir is lib,
# where a Debian host build has lib/<multiarch>.
stage=$copy/ipkg-install
DESTDIR=$stage cmake --install "$build" >/dev/null || fail "cmake --install $build"
for dir in "$stage"/usr/lib/*-linux-gnu*/; do
    [ -d "$dir" ] || continue
    cp -a "$dir". "$stage/usr/lib/" && rm -rf "$dir"
done
for package in libchameleon vorlask; do
    if mk "install-$package" >"$work/install.log" 2>&1; then
        pass
    else
        fail "install-$package: $(cat "$work/install.log")"
    fi
done
mk installdev >"$work/installdev.log" 2>&1 || fail "installdev: $(cat "$work/installdev.log")"

# listing DIR: "MODE PATH" of every file and link below DIR.
so_mode=$(stat -c %a "$stage/usr/lib/libchameleon.so.1.0.0")
# Links show as "link", files by their mode; the library keeps the mode that
# cmake --install gave it.
listing() {
    (cd "$1" && find . -type l -printf 'link %p\n' -o ! -type d -printf '%m %p\n') |
        sed 's| \./| /|' | LC_ALL=C sort
}
expect_listing() {  # expect_listing DIR EXPECTED
    local got
    got=$(listing "$1")
    if [ "$got" = "$2" ]; then pass; else fail "files of $(basename "$1"):"$'\n'"$(diff <(echo "$2") <(echo "$got"))"; fi
}
expect_listing "$work/dest/libchameleon" "$(printf '%s\n' \
    'link /usr/lib/libchameleon.so.1' "$so_mode /usr/lib/libchameleon.so.1.0.0" | LC_ALL=C sort)"
expect_listing "$work/dest/vorlask" "$(printf '%s\n' \
    '600 /etc/config/vorlask' '644 /etc/vorlask.conf' '755 /etc/init.d/vorlask' \
    '644 /etc/capabilities/vorlask.json' \
    '755 /usr/bin/vorlask-listen' '755 /usr/sbin/vorlask' | LC_ALL=C sort)"
expect_listing "$work/dest/dev" "$(printf '%s\n' \
    '644 /usr/include/chameleon.h' '644 /usr/lib/pkgconfig/chameleon.pc' \
    'link /usr/lib/libchameleon.so' 'link /usr/lib/libchameleon.so.1' \
    "$so_mode /usr/lib/libchameleon.so.1.0.0" | LC_ALL=C sort)"
if cmp -s "$work/dest/vorlask/etc/init.d/vorlask" "$package_dir/files/vorlask.init" &&
    cmp -s "$work/dest/vorlask/etc/config/vorlask" "$package_dir/files/vorlask.config" &&
    cmp -s "$work/dest/vorlask/etc/vorlask.conf" "$source_dir/etc/vorlask.conf"; then
    pass
else
    fail "init script, UCI file or configuration file differ from the tree's"
fi

# The daemon's capabilities under procd: CAP_NET_ADMIN in every set, no other.
if python3 -c 'import json, sys
caps = json.load(open(sys.argv[1]))
sets = ("bounding", "effective", "ambient", "permitted", "inheritable")
sys.exit(sorted(caps) != sorted(sets) or any(caps[k] != ["CAP_NET_ADMIN"] for k in sets))' \
    "$work/dest/vorlask/etc/capabilities/vorlask.json"; then
    pass
else
    fail "capabilities file: $(cat "$work/dest/vorlask/etc/capabilities/vorlask.json")"
fi

# Dependencies and conffiles.
info=$(mk info-libchameleon info-vorlask 2>&1)
for line in 'depends libchameleon: +libstdcpp' \
    'depends vorlask: +libchameleon +libuv +libmnl +libjson-c +libmbedtls +libmosquitto-nossl +libstdcpp +USE_GLIBC:libpthread +USE_UCLIBC:libpthread' \
    'conffiles vorlask:/etc/config/vorlask /etc/vorlask.conf'; do
    if grep -qxF -- "$line" <<<"$info"; then pass; else fail "missing [$line] in:"$'\n'"$info"; fi
done

echo "OpenWrt Makefile: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
