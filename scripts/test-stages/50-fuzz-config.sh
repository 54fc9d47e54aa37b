# Configuration parser under libFuzzer (clang, address + undefined sanitizers)
# for 60 seconds from the seed corpus; any crash, leak or sanitizer report
# fails the stage. New inputs go to a scratch corpus, not into the tree.
set -euo pipefail
# Only the fuzz target is built: the rest of the tree has its own stages.
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DVORLASK_FUZZ=ON -DVORLASK_TESTS=OFF \
    -DVORLASK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build/fuzz config_parser_fuzz
work=$(mktemp -d /tmp/vorlask-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts"
status=0
timeout 150 build/fuzz/fuzz/config_parser_fuzz -max_total_time=60 -max_len=4096 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$work/corpus" fuzz/corpus/config_parser || status=$?
if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/artifacts")" ]; then
    echo "config_parser_fuzz failed (status $status); crashing inputs:"
    for f in "$work/artifacts"/*; do [ -e "$f" ] && { echo "$f"; od -c "$f" | head -20; }; done
    exit 1
fi
echo "config_parser_fuzz: 60 s without a crash"
