#!/usr/bin/env bash
# A capture recorded on the monitor interface of the simulated-radio guest
# (tests/vm), replayed with vorlask-replay through the kernel stand-in into
# the daemon: the outcome must be the live run's (tests/vm/check-outcome.sh).
source "$E2E_LIB"
enter_sandbox "$@"
here=$(cd "$(dirname "$0")/.." && pwd)
capture=${REPLAY_CAPTURE:-$here/data/vm/hwsim-probes.pcap}

# Twice as fast as recorded; scans every 3 s instead of the guest's 5 s.
"$REPLAY" --speed 2 --delay 0.5 "$capture" >"$T/script" 2>"$T/replay.err"
expect_eq "$?" 0 "replay status"
expect_file_has "$T/replay.err" " 0 malformed, 0 with a bad checksum"
steps=$(grep -c -v '^#' "$T/script")
expect_between "$steps" 100 100000 "probe requests in the capture"
# Besides the three stations the capture holds randomised addresses, each
# heard once, so dropping them is something the daemon has to do.
randomised=$(awk '!/^#/ && $2 !~ /^00:16:3e:00:00:0[123]$/ {print $2}' "$T/script" | sort -u | wc -l)
expect_between "$randomised" 10 100000 "randomised addresses in the capture"
duration=$(tail -n 1 "$T/script" | awk '{printf "%d", $1 + 1}')

"$LISTENER" --timeout $((duration + 20)) >"$T/listen.out" 2>"$T/listen.err" &
STARTED_PIDS="${STARTED_PIDS:-} $!"
sleep 0.3
start_standin standin --wait 10 --script "$T/script" --linger 10
start_daemon d -v -t 3 -T $((duration + 1))
wait_daemon d $((duration + 30))
expect_eq "$DAEMON_STATUS" 0 "daemon exit status"
expect_clean "$T/d.err"
sed -E 's/^[0-9]+\.[0-9]{2} //' "$T/d.out" >"$T/d.plain"
bash "$here/vm/check-outcome.sh" "$T/d.plain" "$T/listen.out" >"$T/outcome"
expect_eq "$?" 0 "outcome of the replay (see outcome)"
cat "$T/outcome"
finish
