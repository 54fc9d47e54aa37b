#!/usr/bin/env bash
# vorlask-evaluate on a tiny labelled capture: 100 s of a real lab day with a
# made-up occupancy (3 people, then 7 from 50 s on) in a CSV written in the
# lab's local time (UTC + 1 h in November), one row left out. The run must
# lose one frame, not fail; the windows file, the not-people list, and the
# calibration it prints (pasted back through --config) must hold.
source "$E2E_LIB"
enter_sandbox "$@"
here=$(cd "$(dirname "$0")/.." && pwd)

cp "$here/data/lab/lab-excerpt.pcap" "$T/day.pcap"
tcpdump -tt -n -r "$T/day.pcap" 2>/dev/null | awk '{print $1}' >"$T/times"
python3 - "$T/times" "$T/day.csv" <<'PY'
import datetime, sys
times = [float(t) for t in open(sys.argv[1])]
with open(sys.argv[2], "w") as out:
    out.write("datetime;src;occupancy\n")
    for i, t in enumerate(times):
        if i == 100:
            continue  # the missing row
        local = datetime.datetime.fromtimestamp(t, datetime.timezone.utc) + datetime.timedelta(hours=1)
        out.write("%s;x;%.1f\n" % (local.strftime("%Y-%m-%d %H:%M:%S.%f"), 3 if t - times[0] < 50 else 7))
PY
expect_eq "$(wc -l <"$T/times")" 220 "frames in the excerpt"
rule=(-t 1 --min-span 2 --memory 10 --window 20)

"$EVALUATE" "${rule[@]}" --windows "$T/plain.csv" --calibrate "$T/day.pcap" >"$T/plain.out" 2>"$T/plain.err"
expect_eq "$?" 0 "status with one row missing"
expect_file_has "$T/plain.err" "219 rows for 220 frames: 1 probe requests without a row"
expect_eq "$(head -n 1 "$T/plain.csv")" \
    "capture,window_start,people,estimate,devices,baseline_addresses,baseline_any,baseline_probes" \
    "windows header"
expect_between "$(($(wc -l <"$T/plain.csv") - 1))" 5 6 "windows of 20 s in 100 s"
expect_eq "$(awk -F, 'NR == 2 {print $2 " " $3}' "$T/plain.csv")" "2022-11-01T12:12:52.945Z 3.000" \
    "first window's start (UTC) and people"
expect_eq "$(awk -F, 'NR == 5 {print $3}' "$T/plain.csv")" "7.000" "fourth window's people"

# The address heard most often, as not people: gone from every count.
printf '# the busiest address\n\nAE:86:75:6D:90:A7\n' >"$T/not-people.txt"
"$EVALUATE" "${rule[@]}" --windows "$T/fixed.csv" --not-people-file "$T/not-people.txt" \
    "$T/day.pcap" >/dev/null 2>&1
expect_eq "$?" 0 "status with --not-people-file"
probes_gone=$(awk -F, 'FNR > 1 { s += (FILENAME ~ /plain/ ? $8 : -$8) } END { print s }' \
    "$T/plain.csv" "$T/fixed.csv")
any_gone=$(awk -F, 'FNR > 1 { s += (FILENAME ~ /plain/ ? $7 : -$7) } END { print s }' \
    "$T/plain.csv" "$T/fixed.csv")
expect_between "$probes_gone" 1 40 "its strong probe requests left out"
expect_between "$any_gone" 1 6 "its windows counting it no more"
printf 'zz:86:75:6d:90:a7\n' >"$T/bad.txt"
"$EVALUATE" --not-people-file "$T/bad.txt" "$T/day.pcap" >/dev/null 2>"$T/bad.err"
expect_eq "$?" 1 "status with a bad address in the list"
expect_file_has "$T/bad.err" "line 1 is not an address: zz:86:75:6d:90:a7"

# The calibration's lines, pasted into a configuration, give the estimate.
ppd=$(awk '$1 == "people_per_device" {print $3}' "$T/plain.out")
offset=$(awk '$1 == "offset" {print $3}' "$T/plain.out")
expect_between "$ppd" 0.0001 100 "people_per_device printed"
printf '[scan]\nmin_span = 2\nmemory = 10\n[crowd]\npeople_per_device = %s\noffset = %s\n' \
    "$ppd" "$offset" >"$T/vorlask.conf"
"$EVALUATE" --config "$T/vorlask.conf" -t 1 --window 20 --windows "$T/calibrated.csv" \
    "$T/day.pcap" >/dev/null 2>&1
expect_eq "$?" 0 "status with --config"
expect_eq "$(awk -F, -v a="$ppd" -v b="$offset" 'FNR > 1 { e = a * $5 + b; if (e < 0) e = 0;
    d = e - $4; if (d > 0.001 || d < -0.001) bad++ } END { print bad + 0 }' "$T/calibrated.csv")" 0 \
    "windows whose estimate is not people_per_device x devices + offset"
# Least squares: on the windows it was fitted on, no other line does better.
sse() { awk -F, -v a="$1" -v b="$2" 'FNR > 1 { d = a * $5 + b - $3; s += d * d } END { printf "%.6f", s }' "$T/plain.csv"; }
best=$(sse "$ppd" "$offset")
for nudge in "1.01 0" "0.99 0" "1 0.1" "1 -0.1"; do
    read -r factor shift <<<"$nudge"
    worse=$(sse "$(awk -v a="$ppd" -v f="$factor" 'BEGIN { print a * f }')" \
        "$(awk -v b="$offset" -v d="$shift" 'BEGIN { print b + d }')")
    expect_between "$worse" "$best" 1e9 "squared error of the line nudged by $nudge"
done
# Burst tuning leaves each capture out in turn: one capture is not enough;
# three copies of the day choose the same pair and err the same on each.
"$EVALUATE" "${rule[@]}" --tune-bursts "$T/day.pcap" >/dev/null 2>"$T/tune1.err"
expect_eq "$?" 1 "status of --tune-bursts with one capture"
expect_file_has "$T/tune1.err" "--tune-bursts needs three labelled captures or more"
for k in 2 3; do cp "$T/day.pcap" "$T/day$k.pcap"; cp "$T/day.csv" "$T/day$k.csv"; done
"$EVALUATE" "${rule[@]}" --tune-bursts "$T/day.pcap" "$T/day2.pcap" "$T/day3.pcap" \
    >"$T/tune.out" 2>/dev/null
expect_eq "$?" 0 "status of --tune-bursts with three captures"
sed -n '/^# burst tuning/,$p' "$T/tune.out" | grep -E '^day[23]?\.pcap ' >"$T/tune.rows"
expect_eq "$(wc -l <"$T/tune.rows")" 3 "rows of the burst tuning"
expect_eq "$(awk '{print $2, $3, $4, $6}' "$T/tune.rows" | sort -u | wc -l)" 1 \
    "one pair and one error for three copies of a day"
expect_eq "$(awk '$3 ~ /^[1-6]$/ && $4 ~ /^(45|60|75|100|150|200|300)$/' "$T/tune.rows" | wc -l)" 3 \
    "pairs from the grid"
expect_eq "$(awk '/^all \(r: held-out/ {print $NF}' "$T/tune.out")" "$(awk 'NR == 1 {print $6}' "$T/tune.rows")" \
    "the error over all windows"
printf '[crowd]\npeople_per_device = -1\n' >"$T/bad.conf"
"$EVALUATE" --config "$T/bad.conf" "$T/day.pcap" >/dev/null 2>"$T/bad.err"
expect_eq "$?" 1 "status with a bad [crowd] value"
expect_file_has "$T/bad.err" "$T/bad.conf: section [crowd] key people_per_device: bad value \"-1\""
finish
