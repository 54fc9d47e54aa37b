# shellcheck shell=bash
# Static analysis of daemon/ and config_library/: clang-tidy with the checks
# of .clang-tidy (every finding an error) over the compilation database of a
# configure-only clang build, and cppcheck (suppressions with their reasons in
# scripts/cppcheck-suppressions.txt). Both must print no finding.
set -euo pipefail
build=build/static-analysis
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DVORLASK_WERROR=ON >/dev/null
# The sources of this build (the platform fallbacks not chosen are not in it).
mapfile -t sources < <(python3 -c '
import json, os, sys
root = os.getcwd() + "/"
for entry in json.load(open(sys.argv[1])):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    if path.startswith(root + "daemon/") or path.startswith(root + "config_library/"):
        print(path[len(root):])
' "$build/compile_commands.json" | sort -u)
echo "--- clang-tidy ($(clang-tidy --version | sed -n 's/.*version //p'), ${#sources[@]} files)"
failed=0
printf '%s\n' "${sources[@]}" |
    xargs -P 2 -n 4 clang-tidy -p "$build" --quiet --warnings-as-errors='*' 2>/dev/null >"$build/clang-tidy.txt" ||
    failed=1
if [ -s "$build/clang-tidy.txt" ] || [ "$failed" -ne 0 ]; then
    cat "$build/clang-tidy.txt"
    echo "clang-tidy: findings above"
    failed=1
else
    echo "clang-tidy: clean"
fi

echo "--- cppcheck ($(cppcheck --version))"
if cppcheck --std=c++17 --language=c++ --enable=warning,performance,portability,style \
    --inline-suppr --suppressions-list=scripts/cppcheck-suppressions.txt --error-exitcode=1 \
    --quiet -j 2 -I daemon -I config_library -D__linux__ -U__APPLE__ \
    daemon config_library 2>"$build/cppcheck.txt"; then
    echo "cppcheck: clean"
else
    cat "$build/cppcheck.txt"
    echo "cppcheck: findings above"
    failed=1
fi
exit "$failed"
