#!/usr/bin/env bash
# The shared library exports its interface (Chameleon, Confile, trim) and
# nothing else, and carries the SONAME libchameleon.so.1.
#   chameleon_exports.sh PATH-TO-libchameleon.so.1
set -uo pipefail
lib=${1:?library}
failures=0
checks=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
checks=$((checks + 1))
[ "$soname" = libchameleon.so.1 ] || fail "SONAME is [$soname], expected [libchameleon.so.1]"

symbols=$(nm -D --defined-only "$lib" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }' | c++filt)
while IFS= read -r symbol; do
    [ -n "$symbol" ] || continue
    checks=$((checks + 1))
    case "$symbol" in
    Chameleon::* | Confile::* | "trim("*) ;;
    *) fail "exported: $symbol" ;;
    esac
done <<<"$symbols"

# Every operation of the interface is there.
for wanted in 'Chameleon::Chameleon(char const*)' 'Chameleon::Chameleon(double)' \
    'Chameleon::Chameleon(Chameleon const&)' 'Chameleon::operator=(double)' \
    'Chameleon::operator=(Chameleon const&)' 'Chameleon::operator double() const' \
    'Confile::Confile(' 'Confile::Value(' ') const' 'trim('; do
    checks=$((checks + 1))
    grep -qF -- "$wanted" <<<"$symbols" || fail "not exported: $wanted"
done
for wanted in 'Chameleon::Chameleon(std::' 'Chameleon::operator=(std::' 'Chameleon::operator std::'; do
    checks=$((checks + 1))
    grep -qF -- "$wanted" <<<"$symbols" || fail "not exported: $wanted..."
done
checks=$((checks + 1))
[ "$(grep -c '^Confile::Value(' <<<"$symbols")" -eq 3 ] || fail "not three Confile::Value overloads"

echo "$((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
