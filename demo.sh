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

missing=0
for p in "${programs[@]}"; do [ -x "$build/$p/$p" ] || missing=1; done
if [ "$missing" = 1 ]; then
    . contrib/need-packages.sh
    need_packages cmake make g++
    echo "== building into $build"
    cmake --preset programs >/dev/null && cmake --build "$build" -j2 >/dev/null ||
        { echo "build failed"; exit 2; }
fi
bin() { echo "$build/$1/$1"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/relayhub-demo.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

# The relay: on the port given, or on the first of a few random ports that it can open.
relay_pid=""
for attempt in $(seq 1 20); do
    port=${1:-$((20000 + RANDOM % 40000))}
    "$(bin relayhub)" "$port" >"$work/relayhub.out" 2>"$work/relayhub.log" &
    relay_pid=$!
    sleep 0.3
    if kill -0 "$relay_pid" 2>/dev/null; then break; fi
    wait "$relay_pid" 2>/dev/null
    relay_pid=""
    [ $# -gt 0 ] && break
done
if [ -z "$relay_pid" ]; then
    echo "relayhub did not start:"; cat "$work/relayhub.out"; exit 2
fi
pids+=("$relay_pid")
echo "== relayhub listening on port $port (pid $relay_pid)"

# The source: a 16,000 bytes-per-second test stream in blockframe's default blocks, each
# exactly three of feedsend's 1460-byte pieces.
mkfifo "$work/stream"
"$(bin blockframe)" -t -r 16000 >"$work/stream" &
pids+=($!)
"$(bin feedsend)" @127.0.0.1 "$port" <"$work/stream" 2>"$work/feedsend.log" &
pids+=($!)
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
