# shellcheck shell=bash
# The daemon's outside inputs under libFuzzer (clang, address + undefined
# sanitizers), 60 seconds each from the seed corpus in fuzz/corpus/NAME:
# netlink datagrams through decode, queue, fold and scan; datagrams coming
# back on the multicast port through the receive callbacks; argument vectors
# through the option parser; what vorlask-fleet takes from the broker through
# its view. Any crash, leak, failed check or sanitizer
# report fails the stage. The configuration parser has its own stage.
set -euo pipefail
build=build/fuzz-inputs
targets=(kernel_datagram udp_reply command_line fleet_document)
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DVORLASK_FUZZ=ON -DVORLASK_TESTS=OFF \
    -DVORLASK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" -j2 "${targets[@]/%/_fuzz}"
work=$(mktemp -d /tmp/vorlask-fuzz-inputs.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
for target in "${targets[@]}"; do
    mkdir "$work/$target" "$work/$target-artifacts"
    max_len=4096
    # Room for the largest UDP datagram and its length bytes.
    [ "$target" = udp_reply ] && max_len=66000
    status=0
    timeout 150 "$build/fuzz/${target}_fuzz" -max_total_time=60 -max_len=$max_len -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/$target-artifacts/" \
        "$work/$target" "fuzz/corpus/$target" >"$work/$target.log" 2>&1 || status=$?
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|^#[0-9]+.*DONE' "$work/$target.log" || true
    if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/$target-artifacts")" ]; then
        echo "${target}_fuzz failed (status $status):"
        grep -v -E '^#[0-9]+ +(NEW|REDUCE|pulse)' "$work/$target.log" | tail -60
        for f in "$work/$target-artifacts"/*; do
            [ -e "$f" ] && { echo "$f"; od -c "$f" | head -20; }
        done
        failed=1
    else
        echo "${target}_fuzz: 60 s without a crash"
    fi
done
exit "$failed"
