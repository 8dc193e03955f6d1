#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A relay cluster on one box, on loopback: an origin relay fed by a paced test stream
# (blockframe -t -r 16000 | feedsend), four edge relays each fed from the origin by feedlink,
# and HAProxy in front of the edges (contrib/haproxy/haproxy.cfg). The edges hold 1,023
# connections each (-c 1024), as the template's "maxconn 1022" expects. Prints the listeners'
# address, then runs for the time given or until Ctrl-C, and stops every part by its pid.
# Usage: contrib/cluster.sh [seconds]     (no seconds: until Ctrl-C)
# RELAYHUB_BUILD_DIR picks the build to run (default build/programs, built when missing, as
# demo.sh does); EDGES the number of edge relays (default 4).
set -u
cd "$(dirname "$0")/.."
build=${RELAYHUB_BUILD_DIR:-build/programs}
seconds=${1:-}
edges=${EDGES:-4}
programs=(relayhub feedsend feedlink blockframe)

. contrib/local-relays.sh
need_programs "${programs[@]}"
haproxy=$(command -v haproxy || echo /usr/sbin/haproxy)
if [ ! -x "$haproxy" ]; then
    . contrib/need-packages.sh
    need_packages haproxy
    haproxy=/usr/sbin/haproxy
fi
make_workdir cluster
trap 'exit 0' INT TERM

# Every relay with its metrics and health answer, which HAProxy's checks read.
relay_metrics=1
start_relay origin
origin_port=$relay_port
start_test_stream "$origin_port"
echo "== origin relay on port $origin_port, fed by blockframe -t -r 16000 | feedsend"

servers=""
for n in $(seq 1 "$edges"); do
    # An edge's feedlink takes one of its records, HAProxy up to 1022 (its "maxconn").
    start_relay "edge$n" -c 1024
    "$(bin feedlink)" @127.0.0.1 "$origin_port" @127.0.0.1 "$relay_port" \
        2>"$work/feedlink$n.log" &
    pids+=($!)
    servers+="    server edge$n 127.0.0.1:$relay_port check port $metrics_port\n"
    echo "== edge relay $n on port $relay_port (metrics $metrics_port), fed by feedlink"
done

# HAProxy in the foreground (-db), so that its pid is the one stopped; a port it cannot bind
# ends it at once, and another is tried. On a host without IPv6 the template's [::1] bind goes.
no_ipv6=""
grep -qs '^0' /proc/sys/net/ipv6/conf/lo/disable_ipv6 || no_ipv6='/^ *bind \[::1\]/d'
started=""
for attempt in $(seq 1 20); do
    front_port=$((20000 + RANDOM % 40000))
    sed -e "s/@FRONT_PORT@/$front_port/g" -e "s/^ *@SERVERS@/$servers/" -e "$no_ipv6" \
        contrib/haproxy/haproxy.cfg >"$work/haproxy.cfg"
    "$haproxy" -db -f "$work/haproxy.cfg" >"$work/haproxy.log" 2>&1 &
    pid=$!
    sleep 0.5
    if kill -0 "$pid" 2>/dev/null; then
        pids+=("$pid")
        started=1
        break
    fi
    wait "$pid" 2>/dev/null
done
if [ -z "$started" ]; then
    echo "haproxy did not start:"; cat "$work/haproxy.log"; exit 2
fi
echo "== listeners: http://127.0.0.1:$front_port/ (HAProxy, pid $pid)"
echo "   e.g. curl -s -N http://127.0.0.1:$front_port/ | head -c 100000 | wc -c"

# A second at a time, so that a signal is acted on within a second.
if [ -n "$seconds" ]; then
    echo "== running for $seconds seconds"
    for _ in $(seq 1 "$seconds"); do sleep 1; done
else
    echo "== running until Ctrl-C"
    while :; do sleep 1; done
fi
