#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The relay's main job end to end on loopback: relayhub, a paced test stream fed through
# feedsend, three feedfetch listeners, about ten seconds, then each listener's capture checked.
# Usage: ./demo.sh [port]     (a free port is chosen when none is given)
# RELAYHUB_BUILD_DIR picks the build to run (default build/programs: the six programs alone,
# built when missing, after installing what building them needs); DEMO_SECONDS the run time
# (default 10).
set -u
cd "$(dirname "$0")"
build=${RELAYHUB_BUILD_DIR:-build/programs}
seconds=${DEMO_SECONDS:-10}
programs=(relayhub feedsend feedfetch blockframe blockcheck)

. contrib/local-relays.sh
need_programs "${programs[@]}"
make_workdir demo

# The relay: on the port given, or on the first of a few random ports that it can open.
relay_port_given=${1:-}
start_relay relayhub
port=$relay_port
echo "== relayhub listening on port $port (pid $relay_pid)"

# The source: the paced test stream through feedsend.
start_test_stream "$port"
sleep 1

# Three listeners, a moment apart.
printf 'GET /live HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >"$work/request"
listeners=()
for n in 1 2 3; do
    "$(bin feedfetch)" @127.0.0.1 "$port" "$work/request" >"$work/listener$n.data" \
        2>"$work/listener$n.log" &
    listeners+=($!)
    pids+=($!)
    sleep 0.5
done
echo "== streaming for $seconds seconds"
sleep "$seconds"

# Listeners first, so that their captures end while the stream still flows.
for pid in "${listeners[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done

echo "== relayhub log"
cat "$work/relayhub.log"
verdict=0
for n in 1 2 3; do
    bytes=$(wc -c <"$work/listener$n.data")
    echo "== listener $n: $bytes bytes"
    if ! "$(bin blockcheck)" "$work/listener$n.data"; then verdict=1; fi
    if ! "$(bin blockcheck)" "$work/listener$n.data" | grep -q ' [1-9][0-9]* blocks'; then
        echo "listener $n received no block"; verdict=1
    fi
done
if [ "$verdict" = 0 ]; then
    echo "== every listener received an intact stream"
else
    echo "== FAILED: a listener's stream was not intact"
fi
exit "$verdict"
