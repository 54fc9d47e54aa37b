#!/usr/bin/env bash
# vorlask-fleet over real brokers, in a throw-away network of access-point
# namespaces around a collector namespace (tests/harness/fleet_net.sh).
#
#   fleet_brokers.sh mosquitto   one Mosquitto in the collector: a user per
#                                access point and an ACL that lets each write
#                                only under its own name (checked with another
#                                access point's topic and client id), a TLS
#                                listener with a CA made here; the fleet reads
#                                over TLS; a foreign CA, the wrong broker name
#                                and a wrong password are refused; the
#                                broker's message_size_limit keeps a 200 MB
#                                publish from the collectors; two collectors
#                                given one client id back off and say why,
#                                two with the default id each keep their own
#   fleet_brokers.sh cluster     three nats-server nodes (JetStream, MQTT), one
#                                per namespace; two daemons (each with its
#                                kernel stand-in) publish on node 1, the fleet
#                                holds a persistent session on node 2 with all
#                                three to fail over to; node 3, then node 2,
#                                stopped and restarted mid-run: every scan
#                                document reaches the fleet
#   fleet_brokers.sh sites       the same cluster mapping subjects by site into three
#                                partitions; a collector per partition, five daemons
#                                in three sites: each site whole on one collector;
#                                partition 1's stopped for 30 s and back with its
#                                session: nothing lost; a killed daemon's will arrives
#   fleet_brokers.sh backlog     one Mosquitto; access point 1's link cut for
#                                60 s (so always across a minute boundary),
#                                then back: its queued documents arrive late
#                                and the history's minutes hold them in the
#                                minutes they were scanned in; access point 2
#                                (client id café-ap) stops after one scan and
#                                starts again: its first scan is merged; a
#                                collector whose user may read nothing (the
#                                ACL grants the SUBACK) says so once a topic
#   fleet_brokers.sh refused     one nats-server whose permissions refuse the
#                                collector's subscriptions in the SUBACK: it
#                                ends at once with status 4, --once or not
#
# In the Mosquitto case the access points are mosquitto_pub sending documents
# of the daemon's form (tests/e2e/fleet_docs.py), so that one can try to write
# another's topic. Environment (set by CTest): FLEET, FLEET_NET_HARNESS,
# FLEET_DOCS, and the daemon's end-to-end variables (VORLASK, STANDIN,
# PORT_REDIRECT, E2E_LIB).
# shellcheck source=tests/e2e/lib.sh
source "$E2E_LIB"
case_name=${1:?usage: fleet_brokers.sh mosquitto|cluster|sites|backlog|refused}

if [ -z "${FLEET_NET:-}" ]; then
    aps=3
    [ "$case_name" = cluster ] && aps=5
    [ "$case_name" = sites ] && aps=8
    [ "$case_name" = backlog ] && aps=2
    [ "$case_name" = refused ] && aps=1
    exec "$FLEET_NET_HARNESS" --aps "$aps" -- bash "$0" "$@"
fi
T=$(mktemp -d /tmp/vorlask-fleet-e2e.XXXXXX)
STARTED_PIDS=""
trap cleanup EXIT
cd "$T" || exit 1

docs() { python3 "$FLEET_DOCS" "$@"; }
# ap_pub I ARGS...: mosquitto_pub run in access point I.
ap_pub() { local i=$1; shift; "$FLEET_NET" in "$i" mosquitto_pub "$@"; }
# jq_eq FILE FILTER EXPECTED WHAT
jq_eq() { expect_eq "$(jq -c "$2" "$1" 2>&1)" "$3" "$4"; }
# wait_for FILE TEXT SECONDS
wait_for() {
    local i
    for i in $(seq $(($3 * 10))); do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

run_mosquitto() {
    local hub=$FLEET_NET_HUB name=broker.fleet.test i
    # The broker's name, for its certificate (this namespace's /etc only).
    echo "$hub $name" >>/etc/hosts

    # A CA, the broker's certificate under it, and a CA that signed nothing.
    local ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    openssl req -x509 "${ec[@]}" -days 2 -subj /CN=fleet-test-ca -keyout ca.key -out ca.pem 2>/dev/null
    openssl req -x509 "${ec[@]}" -days 2 -subj /CN=other-ca -keyout other.key -out other.pem 2>/dev/null
    openssl req "${ec[@]}" -subj "/CN=$name" -keyout server.key -out server.csr 2>/dev/null
    printf 'subjectAltName=DNS:%s\n' "$name" >server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile server.ext -out server.pem 2>/dev/null
    [ -s server.pem ] && pass || fail "openssl made no server certificate"

    : >passwd
    for i in 1 2 3; do mosquitto_passwd -b passwd "ap$i" "secret$i"; done
    mosquitto_passwd -b passwd fleet fleetsecret
    echo fleetsecret >fleet.pw
    echo wrong >wrong.pw
    cat >acl <<EOF
user fleet
topic read vorlask/#
pattern write vorlask/%u/#
EOF
    cat >mosquitto.conf <<EOF
user root
persistence false
allow_anonymous false
password_file $T/passwd
acl_file $T/acl
log_dest file $T/broker.log
log_type all
listener 1883 $hub
listener 8883 $hub
cafile $T/ca.pem
certfile $T/server.pem
keyfile $T/server.key
# What docs/fleet.md prescribes: no publish larger than a collector takes in.
message_size_limit 262144
EOF
    mosquitto -c mosquitto.conf >broker.out 2>&1 &
    STARTED_PIDS="$STARTED_PIDS $!"
    wait_for broker.log "Opening ipv4 listen socket on port 8883" 10 || fail "broker did not start"

    local tls=(--host "$name" --ca-file ca.pem --username fleet)
    "$FLEET" "${tls[@]}" --password-file fleet.pw --once --json --wait 30 --count 6 -v \
        >view.json 2>fleet.err &
    local fleet=$!
    STARTED_PIDS="$STARTED_PIDS $fleet"
    # Refused: a CA that signed nothing, the broker by an address its
    # certificate does not name, a wrong password.
    "$FLEET" --host "$name" --ca-file other.pem --username fleet --password-file fleet.pw \
        --once --wait 0 >/dev/null 2>foreign-ca.err &
    local foreign_ca=$!
    "$FLEET" --host "$hub" --ca-file ca.pem --username fleet --password-file fleet.pw \
        --once --wait 0 >/dev/null 2>wrong-name.err &
    local wrong_name=$!
    "$FLEET" "${tls[@]}" --password-file wrong.pw --once --wait 0 >/dev/null 2>wrong-pw.err &
    local wrong_pw=$!
    # Two collectors given one client id (each takes the session from the
    # other), and a live one with the default id beside the --once one's.
    local twins="" live
    for i in 1 2; do
        "$FLEET" "${tls[@]}" --password-file fleet.pw --client-id twin --duration 8 \
            >/dev/null 2>"twin$i.err" &
        twins="$twins $!"
    done
    "$FLEET" "${tls[@]}" --password-file fleet.pw --duration 8 >/dev/null 2>live.err &
    live=$!
    STARTED_PIDS="$STARTED_PIDS $twins $live"
    wait_for fleet.err "connected to $name:8883" 10 || fail "the fleet did not connect over TLS"

    # 200 MB from an access point on its own topic: the broker takes it
    # (QoS 1 completed) and hands it to nobody.
    head -c 200000000 /dev/zero >big
    ap_pub 1 -h "$hub" -u ap1 -P secret1 -i ap1 -q 1 -t vorlask/ap1/scan -f big
    rm -f big
    local hwm
    for i in $fleet $live; do
        hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$i/status")
        echo "collector $i: peak RSS $hwm KiB after the 200 MB publish"
        expect_between "${hwm:-0}" 1 32768 "collector peak RSS (KiB) after a 200 MB publish"
    done

    for i in 1 2 3; do
        ap_pub "$i" -h "$hub" -u "ap$i" -P "secret$i" -i "ap$i" -t "vorlask/ap$i/status" -r -m online
    done
    # Access point 2 writes access point 1's topic under its own client id,
    # then under access point 1's: the broker drops both.
    docs --ap ap1 --seq-from 40 --first 200 --stations 1 >forged.json
    ap_pub 2 -h "$hub" -u ap2 -P secret2 -i ap2 -q 1 -t vorlask/ap1/scan -f forged.json
    ap_pub 2 -h "$hub" -u ap2 -P secret2 -i ap1 -q 1 -t vorlask/ap1/scan -f forged.json
    # Stations 4 and 5 are heard by all three, 3 by two, 6..8 by ap2 and ap3.
    docs --ap ap1 --scans 2 --first 0 --stations 6 --rssi -40 | ap_pub 1 -h "$hub" -u ap1 \
        -P secret1 -i ap1 -q 1 -t vorlask/ap1/scan -l
    docs --ap ap2 --scans 2 --first 3 --stations 6 --rssi -60 | ap_pub 2 -h "$hub" -u ap2 \
        -P secret2 -i ap2 -q 1 -t vorlask/ap2/scan -l
    docs --ap ap3 --scans 2 --first 4 --stations 6 --rssi -50 --crowd 4 | ap_pub 3 -h "$hub" \
        -u ap3 -P secret3 -i ap3 -q 1 -t vorlask/ap3/scan -l

    local status=0
    wait "$fleet" || status=$?
    expect_eq "$status" 0 "fleet exit status"
    jq_eq view.json '[.access_points[] | [.id, .online, .seq, .stations, .lost_documents]]' \
        '[["ap1",true,2,6,0],["ap2",true,2,6,0],["ap3",true,2,6,0]]' "access points"
    jq_eq view.json '[.access_points[].crowd]' '[null,null,4]' "crowd estimates"
    jq_eq view.json '[.stations[] | [.address[-2:], .strongest, (.heard_by | map(.ap + "@" + (.rssi | tostring)) | join(" "))]] | .[3:8]' \
        '[["03","ap1","ap1@-43 ap2@-63"],["04","ap1","ap1@-44 ap2@-64 ap3@-54"],["05","ap1","ap1@-45 ap2@-65 ap3@-55"],["06","ap3","ap2@-66 ap3@-56"],["07","ap3","ap2@-60 ap3@-50"]]' \
        "stations merged across access points"
    jq_eq view.json '[(.stations | length), (.stations | map(select(.address == "02:00:00:00:00:c8")) | length)]' \
        '[10,0]' "stations, none from the forged documents"
    jq_eq view.json '.counters | [.scans, .malformed, .duplicates]' '[6,0,0]' "counters"
    expect_eq "$(grep -c "Denied PUBLISH from ap[12] .*'vorlask/ap1/scan'" broker.log)" 2 \
        "publishes the ACL denied"

    status=0; wait "$foreign_ca" || status=$?
    expect_eq "$status" 3 "fleet status with a foreign CA"
    expect_file_has foreign-ca.err "cannot connect to $name:8883"
    status=0; wait "$wrong_name" || status=$?
    expect_eq "$status" 3 "fleet status with a name the certificate lacks"
    expect_file_has wrong-name.err "cannot connect to $hub:8883"
    status=0; wait "$wrong_pw" || status=$?
    expect_eq "$status" 3 "fleet status with a wrong password"
    expect_file_has wrong-pw.err "refused the connection: Connection Refused: not authorised."

    for i in $twins $live; do wait "$i"; done
    echo "twins: $(grep -c 'New client connected .* as twin ' broker.log) connections," \
        "$(cat twin1.err twin2.err | wc -l) lines in 8 s"
    # Before: each took the session ~3,400 times a second, 74,000 lines in 11 s.
    expect_between "$(grep -c 'New client connected .* as twin ' broker.log)" 2 30 \
        "connections of the twins in 8 s"
    expect_between "$(cat twin1.err twin2.err | wc -l)" 2 24 "lines the twins said in 8 s"
    expect_between "$(cat twin1.err twin2.err | grep -c "keeps closing the session soon after accepting it: is another client connected with the client id 'twin'?")" 1 4 "the twins said why"
    expect_eq "$(cat live.err fleet.err | grep -c 'keeps closing')" 0 \
        "the default ids took no session over"
    expect_eq "$(grep -c '^vorlask-fleet: connected to' live.err)" 1 "the live collector connected once"

    # A broker with no size limit of its own: the collector's MQTT 5 Maximum
    # Packet Size keeps a 2 MB publish away from it.
    cat >open.conf <<EOF
user root
persistence false
allow_anonymous true
log_dest file $T/open.log
log_type all
listener 1884 $hub
EOF
    mosquitto -c open.conf >open.out 2>&1 &
    STARTED_PIDS="$STARTED_PIDS $!"
    wait_for open.log "Opening ipv4 listen socket on port 1884" 10 || fail "open broker did not start"
    "$FLEET" --host "$hub:1884" --once --json --wait 10 --count 1 -v >open-view.json 2>open.err &
    fleet=$!
    STARTED_PIDS="$STARTED_PIDS $fleet"
    wait_for open.err "connected to $hub:1884" 10 || fail "the fleet did not connect to the open broker"
    head -c 2000000 /dev/zero >big
    ap_pub 1 -h "$hub" -p 1884 -i ap9 -q 1 -t vorlask/ap9/scan -f big
    rm -f big
    docs --ap ap9 --scans 1 --first 0 --stations 2 | ap_pub 1 -h "$hub" -p 1884 -i ap9 -q 1 \
        -t vorlask/ap9/scan -l
    status=0; wait "$fleet" || status=$?
    expect_eq "$status" 0 "fleet exit status on the open broker"
    jq_eq open-view.json '.counters | [.scans, .malformed]' '[1,0]' \
        "counters on the open broker (the 2 MB publish never sent to the collector)"
    expect_eq "$(grep -c 'speaks MQTT 3.1.1 only' open.err)" 0 "Mosquitto taken at MQTT 5"
    # A persistent session outlives its MQTT 5 connection: a scan published
    # while the collector is away reaches it when it comes back.
    local away=(--host "$hub:1884" --persistent --client-id away --qos 1 --once --json)
    "$FLEET" "${away[@]}" --wait 1 >/dev/null 2>away1.err || true
    docs --ap ap8 --scans 1 --first 0 --stations 2 | ap_pub 1 -h "$hub" -p 1884 -i ap8 -q 1 \
        -t vorlask/ap8/scan -l
    status=0; "$FLEET" "${away[@]}" --wait 10 --count 1 >away.json 2>away2.err || status=$?
    expect_eq "$status" 0 "fleet exit status after coming back"
    jq_eq away.json '[.access_points[] | [.id, .stations]]' '[["ap8",2]]' \
        "the scan published while the persistent collector was away"
}

# The cluster cases' three nats-server nodes (JetStream, MQTT), one per namespace 1..3, each
# mapping subjects by NODE_MAPPINGS when that is set (a subject mapping applies where a
# publish enters, so every node carries the same).
declare -A node_pid
node_conf() {
    local a routes="" i
    a=$("$FLEET_NET" addr "$1")
    for i in 1 2 3; do routes="$routes nats-route://$("$FLEET_NET" addr "$i"):6222"; done
    cat <<EOF
server_name: n$1
listen: $a:4222
jetstream { store_dir: "$T/js$1" }
cluster { name: fleet, listen: $a:6222, routes: [${routes// /, }] }
mqtt { listen: $a:1883 }
EOF
    [ -z "${NODE_MAPPINGS:-}" ] || printf 'mappings {\n%s\n}\n' "$NODE_MAPPINGS"
}
start_node() {
    node_conf "$1" | sed 's/\[, /[/' >"n$1.conf"
    echo "=== start" >>"n$1.log"
    "$FLEET_NET" in "$1" nats-server -c "n$1.conf" >>"n$1.log" 2>&1 &
    node_pid[$1]=$!
    STARTED_PIDS="$STARTED_PIDS $!"
}
stop_node() { kill "${node_pid[$1]}"; wait "${node_pid[$1]}" 2>/dev/null; }
# ready N SECONDS: node N's MQTT listener is up since its last start.
ready() {
    for _ in $(seq $(($2 * 10))); do
        sed -n '/=== start/h; /=== start/!H; ${x;p}' "n$1.log" |
            grep -q "Listening for MQTT clients" && return 0
        sleep 0.1
    done
    return 1
}
# start_cluster: all three up, and each keeping MQTT sessions.
start_cluster() {
    local i a
    for i in 1 2 3; do start_node "$i"; done
    for i in 1 2 3; do ready "$i" 30 || fail "node $i did not start"; done
    # JetStream takes a few seconds more before it keeps MQTT sessions: a
    # QoS 1 publish on every node goes through first.
    for i in 1 2 3; do
        a=$("$FLEET_NET" addr "$i")
        for _ in $(seq 60); do
            mosquitto_pub -h "$a" -i "probe-$a" -q 1 -t probe -m ready 2>/dev/null && break
            sleep 0.5
        done
    done
}

run_cluster() {
    local i run=24
    start_cluster
    local n1 n2 n3
    n1=$("$FLEET_NET" addr 1); n2=$("$FLEET_NET" addr 2); n3=$("$FLEET_NET" addr 3)

    # The fleet on node 2, failing over to 3, then 1.
    local fleet_args=(--host "$n2,$n3,$n1" --persistent --client-id fleet-c1 --qos 1)
    "$FLEET" "${fleet_args[@]}" --once --json --wait $((run + 12)) -v \
        >view.json 2>fleet.err &
    local fleet=$!
    STARTED_PIDS="$STARTED_PIDS $fleet"
    wait_for fleet.err "connected to $n2:1883" 30 || fail "the fleet did not reach node 2"
    sleep 1

    # Two access points (namespaces 4 and 5): vorlask with its stand-in, a scan
    # every second for $run s, published at QoS 1 on node 1.
    for i in 4 5; do
        printf '[server]\nucast_addr = %s\nmcast_addr = 225.0.0.37\n[mqtt]\nhost = %s\nclient_id = ap%s\nqos = 1\n' \
            "$FLEET_NET_HUB" "$n1" "$i" | "$FLEET_NET" in "$i" sh -c 'cat >/etc/vorlask.conf'
        "$FLEET_NET" in "$i" "$STANDIN" --port 4242 --wait 10 --stable 30 --stable-rate 2 \
            --duration $((run + 4)) >"standin$i.out" 2>&1 &
        STARTED_PIDS="$STARTED_PIDS $!"
        "$FLEET_NET" in "$i" env VORLASK_KERNEL_PORT=4242 "LD_PRELOAD=$PORT_REDIRECT" \
            "$VORLASK" -t 1 -T "$run" -v >"vorlask$i.out" 2>"vorlask$i.err" &
        STARTED_PIDS="$STARTED_PIDS $!"
    done
    sleep 2
    stop_node 3
    sleep 2
    start_node 3
    ready 3 30 || fail "node 3 did not come back"
    sleep 2
    stop_node 2
    wait_for fleet.err "lost $n2:1883" 10 || fail "the fleet did not see node 2 go"
    sleep 1
    start_node 2
    ready 2 30 || fail "node 2 did not come back"

    local status=0
    wait "$fleet" || status=$?
    expect_eq "$status" 0 "fleet exit status"
    # Every scan of both daemons, from 1 to their last, and their clean stop.
    jq_eq view.json '[.access_points[] | [.id, .online, .lost_documents, .seq >= '$((run - 4))']]' \
        '[["ap4",false,0,true],["ap5",false,0,true]]' "every document of both access points"
    jq_eq view.json '[.counters.scans + .counters.late, .counters.malformed]' \
        "$(jq -c '[([.access_points[].seq] | add), 0]' view.json)" "scans merged against scan numbers"
    jq_eq view.json '[.stations[].heard_by | length] | unique' '[2]' "stations heard by both"
    expect_order fleet.err "connected to $n2:1883" "lost $n2:1883" "connected to"
    # nats-server speaks 3.1.1 only: refused at MQTT 5 once per node, then 3.1.1.
    expect_order fleet.err "$n2:1883 speaks MQTT 3.1.1 only" "connected to $n2:1883"
    expect_file_has vorlask4.err "connected"
    expect_file_has vorlask5.err "connected"
}

run_sites() {
    local run=45 i
    # Scans, status and wills alike go to vorlask/<partition>/<site>/<ap>/..., the partition
    # hashed from the site: west lands in 0, south in 1, north in 2.
    local from to kind
    NODE_MAPPINGS=""
    for kind in scan status; do
        from="vorlask.*.*.$kind"
        to="vorlask.{{partition(3,1)}}.{{wildcard(1)}}.{{wildcard(2)}}.$kind"
        NODE_MAPPINGS="$NODE_MAPPINGS  \"$from\": \"$to\""$'\n'
    done
    start_cluster
    local -a node
    for i in 1 2 3; do node[$i]=$("$FLEET_NET" addr "$i"); done

    # A collector per partition, each on its own node, holding a persistent session; the one
    # for partition 1 stops after 10 s and comes back 30 s later with the same client id.
    local -a fleet
    collector() {  # collector PARTITION NODE OUTPUT WAIT
        "$FLEET" --host "${node[$2]}" --partitions "$1" --persistent --client-id "fleet-p$1" \
            --qos 1 --once --json --wait "$4" -v >"$3.json" 2>>"fleet-p$1.err" &
        fleet[$1]=$!
        STARTED_PIDS="$STARTED_PIDS $!"
    }
    collector 0 3 p0 $((run + 14))
    collector 1 2 p1-before 10
    collector 2 1 p2 $((run + 14))
    for i in 0 1 2; do
        wait_for "fleet-p$i.err" "connected to" 30 || fail "collector $i did not connect"
    done
    sleep 1

    # Three sites of daemons (namespaces 4..8), each with its stand-in, a scan a second at
    # QoS 1, on nodes spread over the cluster. n2 is killed at the end: the broker
    # publishes its will.
    local sites=(west:w1:1 west:w2:2 south:s1:3 north:n1:1 north:n2:3) entry site id at
    i=4
    for entry in "${sites[@]}"; do
        IFS=: read -r site id at <<<"$entry"
        AP_HOST=${node[$at]} ap_conf "$i" "$id" "prefix = vorlask/$site" "qos = 1"
        local length=$run
        [ "$id" = n2 ] && length=$((run + 30))
        ap_run "$i" "$id" --stable 30 --stable-rate 2 --duration $((length + 4)) -- \
            -t 1 -T "$length" -v
        [ "$id" = n2 ] && local n2_pid=$AP_PID
        i=$((i + 1))
    done
    local status=0
    wait "${fleet[1]}" || status=$?
    expect_eq "$status" 0 "partition 1's collector, before its stop"
    sleep 30
    collector 1 2 p1-after $((run - 22))
    sleep $((run - 38))
    kill -KILL "$n2_pid"
    for i in 0 1 2; do
        status=0
        wait "${fleet[$i]}" || status=$?
        expect_eq "$status" 0 "partition $i's collector exit status"
    done

    # Each site whole on one collector, every access point on exactly one.
    jq_eq p0.json '[.access_points[] | [.id, .site]]' '[["w1","west"],["w2","west"]]' \
        "partition 0: west"
    jq_eq p1-after.json '[.access_points[] | [.id, .site]]' '[["s1","south"]]' \
        "partition 1: south"
    jq_eq p2.json '[.access_points[] | [.id, .site]]' '[["n1","north"],["n2","north"]]' \
        "partition 2: north"
    for i in p0 p2; do
        jq_eq "$i.json" '[.access_points[] | [.online, .lost_documents, .seq >= '$((run - 4))']] | unique' \
            '[[false,0,true]]' "$i: every document, then offline (n2 by its will)"
        jq_eq "$i.json" '[.counters.scans + .counters.late, .counters.malformed]' \
            "$(jq -c '[([.access_points[].seq] | add), 0]' "$i.json")" "$i: scans against scan numbers"
        jq_eq "$i.json" '[.stations[].heard_by | length] | unique' '[2]' \
            "$i: stations merged over the site's access points"
    done
    expect_file_has vorlask-n2.err "connected"

    # Partition 1 across its stop: the first run from scan 1 on, the second from where the
    # first ended (what came while it was away kept in its session) to the last.
    local before after seq
    before=$(jq '.counters.scans' p1-before.json)
    expect_eq "$(jq -c '[.access_points[] | [.id, .site, .lost_documents, .seq]]' p1-before.json)" \
        "[[\"s1\",\"south\",0,$before]]" "partition 1 before its stop: scans 1..$before"
    after=$(jq '.counters.scans + .counters.late' p1-after.json)
    seq=$(jq '.access_points[0].seq' p1-after.json)
    jq_eq p1-after.json '[.access_points[] | [.online, .lost_documents, .seq >= '$((run - 4))']]' \
        '[[false,0,true]]' "partition 1 after its stop: every later document"
    echo "partition 1: scans 1..$before before its stop, $after after it, up to $seq"
    expect_between "$((before + after - seq))" 0 1 "scans missing (<0) or seen twice across the stop"
    expect_between "$after" 25 "$run" "scans partition 1 took in after its stop"
    expect_file_has fleet-p1.err "connected to ${node[2]}:1883"
}

# ap_conf I CLIENT_ID [MQTT LINES...]: access point I's /etc/vorlask.conf (its broker
# AP_HOST, else the collector's namespace).
ap_conf() {
    local i=$1 id=$2
    shift 2
    {
        printf '[server]\nucast_addr = 10.0.0.9\nmcast_addr = 225.0.0.37\n[mqtt]\n'
        printf 'host = %s\nclient_id = %s\n' "${AP_HOST:-$FLEET_NET_HUB}" "$id"
        printf '%s\n' "$@"
    } | "$FLEET_NET" in "$i" sh -c 'cat >/etc/vorlask.conf'
}
# ap_run I NAME STANDIN_ARGS... -- VORLASK_ARGS...: vorlask and its kernel
# stand-in in access point I, in the background; the daemon's pid in AP_PID.
ap_run() {
    local i=$1 name=$2 standin=()
    shift 2
    while [ "$1" != -- ]; do standin+=("$1"); shift; done
    shift
    "$FLEET_NET" in "$i" "$STANDIN" --port 4242 --wait 30 "${standin[@]}" \
        >"standin-$name.out" 2>&1 &
    STARTED_PIDS="$STARTED_PIDS $!"
    "$FLEET_NET" in "$i" env VORLASK_KERNEL_PORT=4242 "LD_PRELOAD=$PORT_REDIRECT" \
        "$VORLASK" "$@" >"vorlask-$name.out" 2>"vorlask-$name.err" &
    AP_PID=$!
    STARTED_PIDS="$STARTED_PIDS $AP_PID"
}
# The scan documents mosquitto_sub -F '%U %p' wrote, as {arrival, doc} objects.
arrivals() {
    jq -R -s -c '[split("\n")[] | select(length > 0) |
        {arrival: (.[:index(" ")] | tonumber | floor), doc: (.[index(" ") + 1:] | fromjson)}]' "$1"
}

run_backlog() {
    local hub=$FLEET_NET_HUB port=18081 cut=60
    : >passwd
    mosquitto_passwd -b passwd deaf deafsecret
    echo deafsecret >deaf.pw
    # Anonymous clients read and write under vorlask/; the user deaf is let
    # in but may read only elsewhere, so its SUBACKs grant and nothing comes.
    printf 'topic readwrite vorlask/#\nuser deaf\ntopic read elsewhere/#\n' >acl
    printf 'user root\npersistence false\nallow_anonymous true\npassword_file %s\nacl_file %s\nlog_dest file %s\nlistener 1883 %s\n' \
        "$T/passwd" "$T/acl" "$T/broker.log" "$hub" >mosquitto.conf
    mosquitto -c mosquitto.conf >broker.out 2>&1 &
    STARTED_PIDS="$STARTED_PIDS $!"
    wait_for broker.log "Opening ipv4 listen socket on port 1883" 10 || fail "broker did not start"

    "$FLEET" --host "$hub" --client-id fleet-page --http "127.0.0.1:$port" --db "$T/history.db" \
        --rows 0 >fleet.out 2>fleet.err &
    local fleet=$!
    "$FLEET" --host "$hub" --client-id fleet-deaf --username deaf --password-file deaf.pw \
        --rows 0 --duration 70 >deaf.out 2>deaf.err &
    local deaf=$!
    # Access point 1's documents as the broker hands them on, with their arrival.
    mosquitto_sub -h "$hub" -q 1 -t vorlask/ap-cut/scan -F '%U %p' >arrivals.out 2>/dev/null &
    STARTED_PIDS="$STARTED_PIDS $fleet $deaf $!"
    wait_for fleet.err "connected to $hub:1883" 10 || fail "the fleet did not connect"

    # Access point 1: four stations, a scan every 2 s, a 5 s keep-alive; its
    # link cut from 6 s on for 60 s (its 1 MiB queue holds the 30 documents).
    ap_conf 1 ap-cut "keepalive = 5"
    ap_run 1 cut --stable 4 --stable-rate 2 --duration 200 -- -t 2 -T 200
    local cut_pid=$AP_PID
    sleep 6
    "$FLEET_NET" cut 1
    local restore_at=$((SECONDS + cut)) restored=$(($(date +%s) + cut))

    # Access point 2 meanwhile: one scan (at 2 s; the stop at 3 s), then
    # again under the same client id, with other stations.
    ap_conf 2 "café-ap"
    local run n t
    for run in 1 2; do
        for t in 0 1 2 3; do
            for n in 1 2 3; do
                printf '%d 02:00:00:00:0%d:0%d ff:ff:ff:ff:ff:ff -50 0 2437 2\n' "$t" "$run" "$n"
            done
        done >"restart$run.script"
        ap_run 2 "restart$run" --script "restart$run.script" -- -t 2 -T 3
        wait "$AP_PID" || fail "café-ap run $run: exit status $?"
    done

    sleep $((restore_at - SECONDS))
    "$FLEET_NET" restore 1
    # The queue goes out once the daemon is connected again (its back-off
    # is at most 30 s); then come live scans again.
    local live=0
    for _ in $(seq 90); do
        live=$(arrivals arrivals.out | jq --argjson r "$restored" 'map(select(.doc.time >= $r + 2)) | length')
        [ "$live" -gt 0 ] && break
        sleep 0.5
    done
    expect_between "$live" 1 100 "ap-cut's live scans after its link came back"
    curl -s "http://127.0.0.1:$port/api/view" >view.json
    kill -TERM "$cut_pid"
    wait "$cut_pid"
    kill -TERM "$fleet"
    local status=0
    wait "$fleet" || status=$?
    expect_eq "$status" 0 "fleet exit status"

    # The cut crossed a minute boundary: documents scanned in one minute
    # arrived in a later one.
    arrivals arrivals.out >arrivals.json
    expect_between "$(jq 'map(select((.arrival / 60 | floor) > (.doc.time / 60 | floor))) | length' arrivals.json)" \
        1 100 "documents that arrived in a later minute than their scan"
    # Each minute of the history holds the scans of that minute and their
    # stations, by the time the access point gave them.
    jq -r 'map(.doc) | unique_by(.seq) | group_by(.time - .time % 60) | .[] |
        "\(.[0].time - .[0].time % 60) \(length) \(map(.stations | length) | add)"' \
        arrivals.json >expected.minutes
    sqlite3 -separator ' ' history.db \
        "SELECT minute, samples, st_sum FROM ap_minute WHERE ap = 'ap-cut' ORDER BY minute" \
        >history.minutes
    expect_eq "$(cat history.minutes)" "$(cat expected.minutes)" "ap-cut's minutes in the history"
    jq_eq view.json '[.access_points[] | select(.id == "ap-cut") | [.lost_documents, .clock_off]]' \
        '[[0,false]]' "ap-cut: nothing lost, its clock trusted"
    jq_eq view.json '[.access_points[] | select(.id == "café-ap") | [.online, .seq, .stations]]' \
        '[[false,1,3]]' "café-ap stopped after its first scan again"
    jq_eq view.json '[.stations[] | select(.heard_by | map(.ap) | index("café-ap")) | .address]' \
        '["02:00:00:00:01:01","02:00:00:00:01:02","02:00:00:00:01:03","02:00:00:00:02:01","02:00:00:00:02:02","02:00:00:00:02:03"]' \
        "both runs of café-ap merged"

    status=0
    wait "$deaf" || status=$?
    expect_eq "$status" 0 "deaf fleet exit status"
    expect_eq "$(grep -c 'nothing received on vorlask/+/scan from' deaf.err)" 1 \
        "the silent scan subscription said once"
    expect_eq "$(grep -c 'nothing received on vorlask/+/status from' deaf.err)" 1 \
        "the silent status subscription said once"
    expect_file_lacks fleet.err "nothing received"
}

run_refused() {
    local hub=$FLEET_NET_HUB
    echo fleetsecret >fleet.pw
    echo blindsecret >blind.pw
    cat >nats.conf <<EOF
server_name: refusing
listen: 127.0.0.1:4222
jetstream { store_dir: "$T/js" }
mqtt { listen: $hub:1883 }
authorization { users: [
  {user: fleet, password: fleetsecret}
  {user: blind, password: blindsecret, permissions: {subscribe: {deny: ["vorlask.>"]}}}
] }
EOF
    nats-server -c nats.conf >nats.log 2>&1 &
    STARTED_PIDS="$STARTED_PIDS $!"
    wait_for nats.log "Listening for MQTT clients" 30 || fail "nats-server did not start"
    # JetStream takes a moment more before it keeps MQTT sessions.
    for _ in $(seq 60); do
        mosquitto_pub -h "$hub" -u fleet -P fleetsecret -i probe -q 1 -t probe -m ready \
            2>/dev/null && break
        sleep 0.5
    done

    local blind=(--host "$hub" --username blind --password-file blind.pw) start=$SECONDS
    "$FLEET" "${blind[@]}" --client-id blind-once --once --json --wait 30 \
        >refused.json 2>refused.err &
    local once=$!
    "$FLEET" "${blind[@]}" --client-id blind-live --duration 30 >live.out 2>live.err &
    local live=$!
    "$FLEET" --host "$hub" --client-id granted --username fleet --password-file fleet.pw \
        --once --json --wait 1 >granted.json 2>granted.err &
    local granted=$!
    STARTED_PIDS="$STARTED_PIDS $once $live $granted"
    local status=0
    wait "$once" || status=$?
    expect_eq "$status" 4 "--once status after the refusal"
    status=0
    wait "$live" || status=$?
    expect_eq "$status" 4 "live status after the refusal"
    expect_between "$((SECONDS - start))" 0 10 "seconds until both ended"
    expect_file_has refused.err "$hub:1883 refused the subscription to vorlask/+/scan"
    expect_file_has live.err "$hub:1883 refused the subscription to vorlask/+/scan"
    jq_eq refused.json '[.access_points, .stations]' '[[],[]]' "the empty view printed"
    status=0
    wait "$granted" || status=$?
    expect_eq "$status" 0 "status of a collector the permissions let read"
    expect_file_lacks granted.err "refused the subscription"
}

case "$case_name" in
    mosquitto) run_mosquitto ;;
    cluster) run_cluster ;;
    sites) run_sites ;;
    backlog) run_backlog ;;
    refused) run_refused ;;
    *) echo "unknown case $case_name" >&2; exit 2 ;;
esac
finish
