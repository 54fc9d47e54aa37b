# The vorlask kernel module: built by kbuild against Debian 12's kernel
# headers (no warnings allowed), its frame parser under libFuzzer, and the
# end-to-end run on simulated radios in a qemu guest with that kernel, whose
# capture is then replayed into the daemon. The parser's unit tests and the
# replay of the committed capture run with the other tests (stage 10).
set -euo pipefail
start=$(date +%s)
# The daemon build to use (scripts/build NAME) and where the module, the fuzz
# build and the guest go; both can be moved away from the shared defaults.
name=${KMOD_STAGE_BUILD:-default}
out=${KMOD_STAGE_OUT:-build}

# The kernel the headers are for is the one the guest boots.
kpkg=$(dpkg-query -W -f='${Depends}' linux-headers-amd64 | grep -o 'linux-headers-[^ ,]*-amd64' | head -n 1)
kdir=/usr/src/$kpkg
echo "module: building against $kdir"
rm -rf "$out/kmod"
mkdir -p "$out"
out=$(cd "$out" && pwd)
make -C kernel KDIR="$kdir" OUT="$out/kmod" >"$out/kmod.log" 2>&1 || { cat "$out/kmod.log"; exit 1; }
if grep -i -E 'warning|error' "$out/kmod.log" | grep -v 'Skipping BTF generation'; then
    echo "module: the build is not clean"
    exit 1
fi
echo "module: $out/kmod/vorlask.ko"

# Frame parser under libFuzzer, seeded with frames of the committed capture.
CC=clang CXX=clang++ cmake -S . -B "$out/fuzz" -G Ninja -DVORLASK_FUZZ=ON -DVORLASK_TESTS=OFF \
    -DVORLASK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$out/fuzz" probe_frame_fuzz
work=$(mktemp -d /tmp/vorlask-kmod.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts"
status=0
timeout 100 "$out/fuzz/fuzz/probe_frame_fuzz" -max_total_time=45 -max_len=1024 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$work/corpus" fuzz/corpus/probe_frame >"$work/fuzz.log" 2>&1 || status=$?
if [ "$status" -ne 0 ] || [ -n "$(ls -A "$work/artifacts")" ]; then
    tail -n 60 "$work/fuzz.log"
    echo "probe_frame_fuzz failed (status $status)"
    exit 1
fi
grep -E '^stat::number_of_executed_units' "$work/fuzz.log" || true
echo "probe_frame_fuzz: 45 s without a crash"

# KMOD_VM=0 leaves the guest run out (e.g. on a machine without qemu).
if [ "${KMOD_VM:-1}" = 0 ]; then
    echo "kernel module stage: guest run on simulated radios left out (KMOD_VM=0)"
    echo "kernel module stage: $(( $(date +%s) - start )) s"
    exit 0
fi

# The guest: the module, the unmodified daemon and the listener of the
# default build.
scripts/build "$name" >/dev/null
b=$PWD/build/$name
listener=()
[ -x "$b/tools/listener/vorlask-listen" ] && listener=(--listener "$b/tools/listener/vorlask-listen")
tests/vm/run.sh --module "$out/kmod/vorlask.ko" --daemon "$b/daemon/vorlask" "${listener[@]}" \
    --work "$out/vm" --cache "$out/vm-cache" --capture "$out/vm/capture.pcap"

# The fresh capture replayed: the same outcome as the live run.
"$b/tools/replay/vorlask-replay" "$out/vm/capture.pcap" >/dev/null
VORLASK=$b/daemon/vorlask \
    SANDBOX=$PWD/tests/harness/sandbox.sh E2E_LIB=$PWD/tests/e2e/lib.sh \
    STANDIN=$b/tests/kit/kernel_standin/vorlask-kernel-standin \
    PORT_REDIRECT=$(ls "$b"/tests/kit/port_redirect/libvorlask-port-redirect.so) \
    LISTENER=$b/tools/listener/vorlask-listen \
    REPLAY=$b/tools/replay/vorlask-replay \
    REPLAY_CAPTURE=$out/vm/capture.pcap timeout 120 bash tests/e2e/replay_capture.sh
echo "kernel module stage: $(( $(date +%s) - start )) s"
