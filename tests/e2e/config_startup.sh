#!/usr/bin/env bash
# The start-up configuration file /etc/vorlask.conf: the two [server]
# addresses printed first, each alone on its line, then a normal start; a
# missing key or file, or a file over 64 KiB, stops start-up with one line on
# stderr and status 1; so does a bad [scan] or [mqtt] value, before anything
# is printed, with one line naming the file, section, key and value.
#   config_startup.sh present|crlf|no-mcast|other-section|no-file|scan-values|mqtt-bad
source "$E2E_LIB"
enter_sandbox "$@"
case_name=${1:?case}

# run_to_end NAME ARGS...: the daemon in the foreground (at most 30 s), plain
# stdout in NAME.out and stderr in NAME.err, status in STATUS.
run_to_end() {
    local name=$1; shift
    daemon_argv
    STATUS=0
    timeout 30 "${DAEMON[@]}" "$@" >"$T/$name.out" 2>"$T/$name.err" || STATUS=$?
}

# expect_stop_at_config NAME KEY SUFFIX: start-up stopped at the configuration
# step: nothing on stdout, exactly the one message line on stderr, status 1.
expect_stop_at_config() {
    local name=$1 key=$2 suffix=$3
    expect_eq "$STATUS" 1 "exit status"
    expect_eq "$(wc -c <"$T/$name.out")" 0 "bytes on stdout"
    expect_eq "$(cat "$T/$name.err")" \
        "vorlask: /etc/vorlask.conf: section [server] has no key $key$suffix" "stderr"
}

case "$case_name" in
present)
    # Both keys, among other sections and keys of the same names elsewhere.
    cat >/etc/vorlask.conf <<'EOF'
[client]
ucast_addr = 10.9.9.9
mcast_addr = 239.9.9.9
[server]
  mcast_addr   =   239.1.2.3
ucast_addr=10.200.0.77
EOF
    start_standin standin --wait 10 --linger 15
    run_to_end d -T 1
    expect_eq "$STATUS" 0 "exit status"
    expect_eq "$(sed -n 1p "$T/d.out")" "10.200.0.77" "first line (ucast_addr)"
    expect_eq "$(sed -n 2p "$T/d.out")" "239.1.2.3" "second line (mcast_addr)"
    # Then the daemon starts as usual: table header and greeting (from two
    # threads, in either order), then the summary.
    expect_order "$T/d.out" "239.1.2.3" "Timestamp         MAC" "*** summary ***"
    expect_order "$T/d.out" "239.1.2.3" "--> worker_multicast" "*** summary ***"
    expect_eq "$(count_lines "$T/d.out" "10.9.9.9")" 0 "lines with the [client] value"
    expect_clean "$T/d.err"
    ;;
crlf)
    # CR-LF line ends and an empty value: the CRs never reach the output.
    printf '# written on another system\r\n[server]\r\nucast_addr =\r\nmcast_addr = 225.0.0.37 \r\n' \
        >/etc/vorlask.conf
    start_standin standin --wait 10 --linger 15
    run_to_end d -T 1
    expect_eq "$STATUS" 0 "exit status"
    expect_eq "$(head -2 "$T/d.out" | cat -A | tr '\n' '|')" '$|225.0.0.37$|' \
        "first two lines, control characters shown"
    expect_file_has "$T/d.out" "*** summary ***"
    ;;
no-mcast)
    # The second lookup fails: not even the first value is printed.
    printf '[server]\nucast_addr = 10.200.0.9\n[client]\nmcast_addr = 225.0.0.37\n' \
        >/etc/vorlask.conf
    run_to_end d -v
    expect_stop_at_config d mcast_addr ""

    # Size bound: one byte past 64 KiB is refused before it is read, with the
    # file and its size; exactly 64 KiB passes the step (both values print,
    # then the missing kernel end stops start-up).
    pad_config() {  # pad_config BYTES: valid keys, padded with a comment
        local head=$'[server]\nucast_addr = 10.200.0.9\nmcast_addr = 225.0.0.37\n#'
        { printf '%s' "$head"; head -c $(($1 - ${#head} - 1)) /dev/zero | tr '\0' x; echo; } \
            >/etc/vorlask.conf
    }
    pad_config 65537
    run_to_end big -T 1
    expect_eq "$STATUS" 1 "exit status, 65537 bytes"
    expect_eq "$(wc -c <"$T/big.out")" 0 "bytes on stdout, 65537 bytes"
    expect_eq "$(cat "$T/big.err")" \
        "vorlask: /etc/vorlask.conf: the file is too large: 65537 bytes, at most 65536" "stderr"
    pad_config 65536
    run_to_end fits -T 1
    expect_eq "$(head -2 "$T/fits.out")" $'10.200.0.9\n225.0.0.37' "stdout, 65536 bytes"
    expect_eq "$(cat "$T/fits.err")" "mnl_socket_send: Connection refused" "stderr, 65536 bytes"
    ;;
other-section)
    # Keys of the right names in other sections, and a section name that
    # differs only in case, do not count.
    printf 'ucast_addr = 1.1.1.1\n[Server]\nucast_addr = 2.2.2.2\nmcast_addr = 225.0.0.37\n' \
        >/etc/vorlask.conf
    run_to_end d
    expect_stop_at_config d ucast_addr ""
    ;;
no-file)
    rm -f /etc/vorlask.conf
    run_to_end d -T 1
    expect_stop_at_config d ucast_addr " (cannot read the file: No such file or directory)"
    ;;
scan-values)
    # Bad [scan] values stop start-up before anything is printed, with one
    # line naming the file, section, key and value; good ones start as usual.
    server='[server]\nucast_addr = 10.200.0.9\nmcast_addr = 225.0.0.37\n[scan]\n'
    file=/etc/vorlask.conf
    while IFS='|' read -r lines message; do
        printf "$server$lines" >/etc/vorlask.conf
        run_to_end d -v
        expect_eq "$STATUS" 1 "exit status for $lines"
        expect_eq "$(wc -c <"$T/d.out")" 0 "bytes on stdout for $lines"
        expect_eq "$(cat "$T/d.err")" "vorlask: $file: section [scan] key $message" "stderr for $lines"
    done <<'EOF'
rule = counting\n|rule: bad value "counting" (count or persistent)
rule =\n|rule: bad value "" (count or persistent)
rule = persistent\nmin_span = ten\n|min_span: bad value "ten" (a whole number of seconds from 1 to 604800)
min_span = 0\n|min_span: bad value "0" (a whole number of seconds from 1 to 604800)
memory = -600\n|memory: bad value "-600" (a whole number of seconds from 1 to 604800)
memory = 60.5\n|memory: bad value "60.5" (a whole number of seconds from 1 to 604800)
memory = 604801\n|memory: bad value "604801" (a whole number of seconds from 1 to 604800)
min_span = 601\n|min_span: bad value "601" (longer than memory, 600)
rule = persistent\nmin_span = 30\nmemory = 20\n|min_span: bad value "30" (longer than memory, 20)
EOF
    # [crowd] is read under rule = persistent only, with the same one line.
    while IFS='|' read -r lines message; do
        printf "${server}rule = persistent\n[crowd]\n$lines" >/etc/vorlask.conf
        run_to_end d -v
        expect_eq "$STATUS" 1 "exit status for $lines"
        expect_eq "$(cat "$T/d.err")" "vorlask: $file: section [crowd] key $message" "stderr for $lines"
    done <<'EOF'
people_per_device = 0\n|people_per_device: bad value "0" (a number above 0, at most 100)
offset = ten\n|offset: bad value "ten" (a number from -10000 to 10000)
not_people = 02:00:00:00:00\n|not_people: bad value "02:00:00:00:00" (addresses aa:bb:cc:dd:ee:ff separated by blanks)
burst_gap = 61\n|burst_gap: bad value "61" (seconds from 0 to 60)
burst_interval = 0\n|burst_interval: bad value "0" (seconds from 0.001 to 3600)
EOF
    printf "${server}rule = persistent\nmin_span = 600\nmemory = 600\n" >/etc/vorlask.conf
    start_standin standin --wait 10 --linger 15
    run_to_end ok -T 1
    expect_eq "$STATUS" 0 "exit status with good [scan] values"
    expect_eq "$(sed -n 2p "$T/ok.out")" "225.0.0.37" "second line (mcast_addr)"
    expect_file_has "$T/ok.out" "finally get a valid probe reqeust number: 0"
    ;;
mqtt-bad)
    # Client ids: a Latin-1 byte (not UTF-8) and a C1 control character.
    id_rule="(UTF-8 of 1 to 64 bytes without control characters, '/', '+' or '#')"
    for body in 'host = 10.0.0.1|qos = 2' 'qos = 1' $'host = 10.0.0.1|client_id = caf\xe9' \
        $'host = 10.0.0.1|client_id = ap\xc2\x85'; do
        printf '[server]\nucast_addr = 10.200.0.9\nmcast_addr = 225.0.0.37\n[mqtt]\n%s\n' \
            "${body//|/$'\n'}" >/etc/vorlask.conf
        run_to_end d -T 1
        expect_eq "$STATUS" 1 "exit status ($body)"
        expect_eq "$(wc -c <"$T/d.out")" 0 "bytes on stdout ($body)"
        case "$body" in
        *client_id*) line="vorlask: /etc/vorlask.conf: section [mqtt] key client_id: bad value \"${body#*client_id = }\" $id_rule" ;;
        host*) line='vorlask: /etc/vorlask.conf: section [mqtt] key qos: bad value "2" (0 or 1)' ;;
        *) line='vorlask: /etc/vorlask.conf: section [mqtt] has no key host' ;;
        esac
        expect_eq "$(cat "$T/d.err")" "$line" "stderr ($body)"
    done
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
finish
