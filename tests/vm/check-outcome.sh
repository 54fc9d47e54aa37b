#!/usr/bin/env bash
# What the daemon must have made of the simulated-radio scenario, whether it
# heard it live from the module or replayed from its capture:
#   check-outcome.sh DAEMON_OUTPUT [LISTENER_OUTPUT]
# DAEMON_OUTPUT is a run at -v (rows with second MAC, band, frequency and
# delta). Prints one line per check and ends non-zero when any failed.
set -uo pipefail
daemon_out=$1
listen_out=${2:-}

# The stations with fixed addresses and the frequencies each scans on.
declare -A scans=(
    [00163e000001]="5180"
    [00163e000002]="2412 5180"
    [00163e000003]="5180 5200"
)
# Simulated radios report every frame at this signal.
signal=-50
wildcard=ffffffffffff

failures=0
pass() { echo "ok   $*"; }
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

band_of() {
    case $1 in
        24[0-9][0-9]) echo 0 ;;
        49[0-9][0-9] | 5[0-8][0-9][0-9] | 59[0-2][0-9]) echo 1 ;;
        *) echo 255 ;;
    esac
}

# Whole rows only: another thread's output can split a row, and such a
# piece is ignored rather than misread.
row_re='^[0-9]+\.[0-9]{3} {4}([0-9a-f]{12}) - ([0-9a-f]{12}) +(-?[0-9]+) +([0-9]+) +([0-9]+) +([0-9]+)$'
rows() { grep -E "$row_re" "$1" | sed -E "s/$row_re/\1 \2 \3 \4 \5 \6/"; }
scan_rows=$(sed '/^\*\*\* summary \*\*\*/,$d' "$daemon_out" | rows /dev/stdin)
summary_rows=$(sed -n '/^To remove some random address/,/^finally get a valid/p' "$daemon_out" | rows /dev/stdin)

for mac in "${!scans[@]}"; do
    mine=$(echo "$scan_rows" | awk -v m="$mac" '$1 == m')
    check "station $mac kept by the scans" test -n "$mine"
    bad=""
    while read -r _ second rssi band freq _; do
        [ -n "$second" ] || continue
        case " ${scans[$mac]} " in *" $freq "*) ;; *) bad="$bad freq $freq" ;; esac
        [ "$band" = "$(band_of "$freq")" ] || bad="$bad band $band for $freq"
        [ "$rssi" = "$signal" ] || bad="$bad rssi $rssi"
        [ "$second" = "$wildcard" ] || bad="$bad second $second"
    done <<<"$mine"
    check "station $mac rows: a frequency it scanned on, its band, ${signal} dBm, wildcard BSSID${bad:+ (got$bad)}" \
        test -z "$bad"
done

others=$( (echo "$scan_rows"; echo "$summary_rows") | awk 'NF {print $1}' | sort -u |
    grep -v -x -E "$(IFS='|'; echo "${!scans[*]}")" | tr '\n' ' ')
check "randomised addresses dropped by the scans${others:+ (kept: $others)}" test -z "$others"

total=$(sed -n 's/^total probes request found: \([0-9]*\)$/\1/p' "$daemon_out")
valid=$(sed -n 's/^finally get a valid probe reqeust number: \([0-9]*\)$/\1/p' "$daemon_out")
summary_macs=$(echo "$summary_rows" | awk 'NF {print $1}' | sort | tr '\n' ' ')
expected_macs=$(printf '%s\n' "${!scans[@]}" | sort | tr '\n' ' ')
check "summary: valid number ${valid:-none} is the ${#scans[@]} stations" test "${valid:-x}" = "${#scans[@]}"
check "summary: its rows are the stations (${summary_macs})" test "$summary_macs" = "$expected_macs"
check "summary: total ${total:-none} counts at least the valid ones" \
    test "${total:-0}" -ge "${valid:-1}" -a -n "$total"

if [ -n "$listen_out" ]; then
    if grep -q '^listening on' "$listen_out"; then
        reported=$(awk '$1 == "report" {gsub(":", "", $2); print $2}' "$listen_out" | sort -u | tr '\n' ' ')
        check "reports: one address per station (${reported})" test "$reported" = "$expected_macs"
    else
        echo "skip reports: no listener output"
    fi
fi
[ "$failures" -eq 0 ]
