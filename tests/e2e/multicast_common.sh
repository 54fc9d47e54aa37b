# Helpers of the multicast end-to-end tests, sourced after lib.sh.

GROUP=225.0.0.37
GROUP_PORT=5566

# Waits until something is bound to the group's UDP port.
port_bound() { ss -Huln "sport = :$GROUP_PORT" | grep -q .; }
wait_port_bound() { wait_until 30 "something bound to port $GROUP_PORT" port_bound; }

# start_socat NAME: socat joined to the group on the sandbox's address, each
# datagram it reads hex-dumped to NAME.x (one read is one datagram).
start_socat() {
    socat -u -x "UDP4-RECV:$GROUP_PORT,reuseaddr,ip-add-membership=$GROUP:$SANDBOX_ADDR" \
        OPEN:/dev/null 2>"$T/$1.x" &
    SOCAT_PID=$!
    STARTED_PIDS="${STARTED_PIDS:-} $SOCAT_PID"
    wait_port_bound
}

stop_socat() {
    kill -TERM "$SOCAT_PID" 2>/dev/null || true
    wait "$SOCAT_PID" 2>/dev/null || true
}

# Splits socat's dump FILE.x into FILE.N (the bytes of datagram N, from 1)
# and prints the number of datagrams.
split_datagrams() {
    perl -e '
        my ($dump, $prefix) = @ARGV;
        open(my $in, "<", $dump) or die;
        my @dg; my @len;
        while (<$in>) {
            if (/^> .* length=(\d+) /) { push @dg, ""; push @len, $1; next; }
            next unless @dg;
            next if /^--/;
            (my $hex = $_) =~ s/\s+//g;
            $dg[-1] .= pack("H*", $hex);
        }
        for my $i (0 .. $#dg) {
            die "datagram " . ($i + 1) . ": $len[$i] bytes announced, " . length($dg[$i]) . " dumped\n"
                if length($dg[$i]) != $len[$i];
            open(my $out, ">", "$prefix." . ($i + 1)) or die;
            print $out $dg[$i];
        }
        print scalar(@dg), "\n";' "$1.x" "$1"
}

# The report datagram json-c renders by default for a MAC given as 12 hex
# digits: base64 of the six bytes, with '/' written as '\/'.
expected_report() {
    local b64
    b64=$(printf '%s' "$1" | xxd -r -p | base64)
    printf '{ "data": { "ver": 1, "wifi": { "MAC": "%s", "RSSI": -33 } } }' "${b64//\//\\/}"
}

mac_base64() { printf '%s' "$1" | xxd -r -p | base64; }
