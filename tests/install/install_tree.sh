#!/usr/bin/env bash
# `cmake --install` of a build into a scratch DESTDIR: the daemon, the shared
# library with its SONAME links, the header, the pkg-config file and the sample
# configuration land where GNUInstallDirs puts them for the configured prefix,
# and a small program builds against the installed library through pkg-config.
#   install_tree.sh BUILD-DIR PREFIX SBINDIR LIBDIR INCLUDEDIR SYSCONFDIR CXX [CXXFLAGS...]
# The directories are CMake's CMAKE_INSTALL_FULL_* values.
set -uo pipefail
build=$1 prefix=$2 sbindir=$3 libdir=$4 includedir=$5 sysconfdir=$6 cxx=$7
shift 7
extra_flags=("$@")
failures=0
checks=0
pass() { checks=$((checks + 1)); }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); echo "FAIL: $*"; }

dest=$(mktemp -d /tmp/vorlask-install.XXXXXX)
trap 'rm -rf "$dest"' EXIT
if DESTDIR="$dest" cmake --install "$build" >"$dest.log" 2>&1; then pass; else
    fail "cmake --install failed"; cat "$dest.log"
fi
rm -f "$dest.log"
root=$dest

expect_file() {  # expect_file PATH WHAT
    if [ -f "$1" ] && [ ! -L "$1" ]; then pass; else fail "$2: no file $1"; fi
}
expect_link() {  # expect_link PATH TARGET
    if [ -L "$1" ] && [ "$(readlink "$1")" = "$2" ]; then pass; else
        fail "$1 is not a link to $2 ($(readlink "$1" 2>/dev/null || echo missing))"
    fi
}

expect_file "$root$sbindir/vorlask" "daemon"
[ -x "$root$sbindir/vorlask" ] && pass || fail "daemon not executable"
expect_file "$root$libdir/libchameleon.so.1.0.0" "library"
expect_link "$root$libdir/libchameleon.so.1" libchameleon.so.1.0.0
expect_link "$root$libdir/libchameleon.so" libchameleon.so.1
expect_file "$root$includedir/chameleon.h" "header"
expect_file "$root$libdir/pkgconfig/chameleon.pc" "pkg-config file"
expect_file "$root$sysconfdir/vorlask.conf" "sample configuration"
cmp -s "$root$sysconfdir/vorlask.conf" "$(dirname "$0")/../../etc/vorlask.conf" && pass ||
    fail "installed vorlask.conf differs from etc/vorlask.conf"
soname=$(readelf -d "$root$libdir/libchameleon.so.1.0.0" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libchameleon.so.1 ] && pass || fail "SONAME [$soname]"
readelf -d "$root$sbindir/vorlask" | grep -qF '[libchameleon.so.1]' && pass ||
    fail "the daemon does not load libchameleon.so.1"

# pkg-config over the installed tree (its prefix moved under DESTDIR).
export PKG_CONFIG_PATH="$root$libdir/pkgconfig"
flags=$(pkg-config --define-variable=prefix="$root$prefix" --cflags --libs chameleon) && pass ||
    fail "pkg-config --cflags --libs chameleon failed"
[ "$(pkg-config --modversion chameleon)" = 1.0.0 ] && pass || fail "pkg-config version"
cat >"$dest/use_chameleon.cpp" <<'CPP'
#include <chameleon.h>
#include <iostream>
int main(int argc, char** argv) {
    Confile config(argv[1]);
    std::cout << std::string(config.Value("server", "mcast_addr")) << ' '
              << std::string(config.Value("server", "port", 5566.0)) << '\n';
    return argc == 2 ? 0 : 1;
}
CPP
# shellcheck disable=SC2086
if "$cxx" -std=c++17 "${extra_flags[@]}" "$dest/use_chameleon.cpp" -o "$dest/use_chameleon" \
    $flags 2>"$dest/cc.err"; then
    pass
    out=$(LD_LIBRARY_PATH="$root$libdir" "$dest/use_chameleon" "$root$sysconfdir/vorlask.conf")
    [ "$out" = "225.0.0.37 5566" ] && pass || fail "program against the installed library: [$out]"
else
    fail "a program does not build against the installed library"; cat "$dest/cc.err"
fi

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
