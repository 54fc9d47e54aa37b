#!/usr/bin/env bash
# A capture recorded on the monitor interface of the simulated-radio guest
# (tests/vm), replayed with vorlask-replay through the kernel stand-in into
# the daemon: the outcome must be the live run's (tests/vm/check-outcome.sh).
#   replay_capture.sh [persistent]
# persistent: 100 s of a real lab day played ten times as fast into the daemon
# under [scan] rule = persistent; the stations it prints and reports must be
# the ones vorlask-evaluate finds in the same capture.
source "$E2E_LIB"
enter_sandbox "$@"
here=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = persistent ]; then
    capture=$here/data/lab/lab-excerpt.pcap
    # Spans in the daemon's seconds: 2 s here is 20 s of the capture.
    rule=(-t 1 --min-span 2 --memory 10)
    # A [crowd] that turns devices into people: each crowd line then ends
    # with the people, 0.5 x devices + 1.5 (bursts scaled to the speed).
    printf '[server]\nucast_addr = 10.200.0.9\nmcast_addr = 225.0.0.37\n[scan]\nrule = persistent\nmin_span = 2\nmemory = 10\n[crowd]\npeople_per_device = 0.5\noffset = 1.5\nburst_gap = 0.1\nburst_interval = 4.5\n' \
        >/etc/vorlask.conf
    "$EVALUATE" --speed 10 "${rule[@]}" --list "$capture" >"$T/evaluate.out"
    expect_eq "$?" 0 "vorlask-evaluate status"
    awk '$1 == "reported" && $2 == "persistent" {print $3}' "$T/evaluate.out" | sort >"$T/expected"
    # The excerpt holds stations and many one-burst addresses; the count rule
    # reports far more of them than the persistent rule.
    expect_between "$(wc -l <"$T/expected")" 10 40 "stations vorlask-evaluate finds"
    count_reported=$(awk '$1 == "reported" && $2 == "count"' "$T/evaluate.out" | wc -l)
    expect_between "$count_reported" $(($(wc -l <"$T/expected") + 10)) 1000 "count rule's reports"
    "$REPLAY" --speed 10 --delay 0.5 "$capture" >"$T/script" 2>"$T/replay.err"
    expect_eq "$?" 0 "replay status"
    duration=$(tail -n 1 "$T/script" | awk '{printf "%d", $1 + 1}')
    "$LISTENER" --timeout $((duration + 20)) >"$T/listen.out" 2>"$T/listen.err" &
    STARTED_PIDS="${STARTED_PIDS:-} $!"
    wait_for "$T/listen.out" 'listening on' 30
    start_standin standin --wait 10 --script "$T/script" --linger 10
    start_daemon d -v -t 1 -T $((duration + 2))
    wait_daemon d $((duration + 30))
    expect_eq "$DAEMON_STATUS" 0 "daemon exit status"
    expect_clean "$T/d.err"
    sed -E 's/^[0-9]+\.[0-9]{2} //' "$T/d.out" >"$T/d.plain"
    # Rows of the scans (before the summary), then those of the summary: the
    # address is the field after the row's time.
    rows_of() { grep -oE '^[0-9]+\.[0-9]{3} +[0-9a-f]{12}' | awk '{print $2}' |
        sed 's/\(..\)/\1:/g; s/:$//' | sort -u; }
    sed -n '/\*\*\* summary \*\*\*/q;p' "$T/d.plain" | rows_of >"$T/printed"
    sed -n '/\*\*\* summary \*\*\*/,$p' "$T/d.plain" | rows_of >"$T/known"
    expect_eq "$(diff "$T/expected" "$T/printed" && echo same)" same \
        "stations printed by the daemon against vorlask-evaluate"
    expect_file_has "$T/d.out" "crowd: "
    grep 'crowd: ' "$T/d.plain" >"$T/crowd"
    expect_between "$(wc -l <"$T/crowd")" $((duration - 5)) $((duration + 5)) "crowd lines"
    expect_eq "$(awk -F'about ' '{split($2, d, " "); w = sprintf("%.1f people", 0.5 * d[1] + 1.5);
        if ($3 != w) print NR ": " $0 " (not " w ")"}' "$T/crowd")" "" \
        "crowd lines ending in 0.5 x devices + 1.5 people"
    expect_eq "$(awk -F'about ' '$2 + 0 > 0' "$T/crowd" | wc -l | awk '{print ($1 > 0)}')" 1 \
        "a crowd line with devices"
    # The summary lists the stations heard within the memory before the stop.
    expect_between "$(wc -l <"$T/known")" 1 100 "stations known at the stop"
    expect_eq "$(comm -23 "$T/known" "$T/expected")" "" "known stations evaluate did not find"
    expect_eq "$(awk '/finally get a valid probe reqeust number:/ {print $NF}' "$T/d.plain")" \
        "$(wc -l <"$T/known")" "the summary's final number"
    finish
    exit
fi
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
wait_for "$T/listen.out" 'listening on' 30
start_standin standin --wait 10 --script "$T/script" --linger 10
# The timed stop comes while the capture still plays: the 5 s the daemon runs
# on after it, with no scan, fold 5 s of probe requests into the summary
# wherever the last scan fell. A stop after the end of the capture left the
# summary only what came after the last scan: nothing when a scan fell on
# the stop's tick.
start_daemon d -v -t 3 -T $((duration > 14 ? duration - 7 : 7))
wait_daemon d $((duration + 30))
expect_eq "$DAEMON_STATUS" 0 "daemon exit status"
expect_clean "$T/d.err"
sed -E 's/^[0-9]+\.[0-9]{2} //' "$T/d.out" >"$T/d.plain"
bash "$here/vm/check-outcome.sh" "$T/d.plain" "$T/listen.out" >"$T/outcome"
expect_eq "$?" 0 "outcome of the replay (see outcome)"
cat "$T/outcome"
finish
