#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A short end-to-end session under valgrind's memcheck: relayhub, feedsend fed by a paced test
# stream, and feedfetch, for a few seconds. Every process is stopped by its pid; the session
# passes only when no program shows an invalid access or a leak.
# Usage: valgrind_session.sh BUILD_DIR
set -u
build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/relayhub-valgrind.XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
vg() {
    local name=$1; shift
    exec valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect \
        --error-exitcode=9 --log-file="$work/$name.vg" "$@"
}

port=""
for attempt in $(seq 1 20); do
    try=$((20000 + RANDOM % 40000))
    vg relayhub "$build/relayhub/relayhub" "$try" 2>"$work/relayhub.log" >"$work/relayhub.out" &
    relay=$!
    sleep 2  # valgrind starts slowly
    if kill -0 "$relay" 2>/dev/null && ! grep -q failed "$work/relayhub.out"; then port=$try; break; fi
    wait "$relay" 2>/dev/null
done
[ -n "$port" ] || { echo "relayhub did not start under valgrind"; exit 1; }
pids+=("$relay")

mkfifo "$work/stream"
"$build/blockframe/blockframe" -t -s 4000 -r 32000 >"$work/stream" &
frame=$!
pids+=("$frame")
vg feedsend "$build/feedsend/feedsend" @127.0.0.1 "$port" <"$work/stream" 2>"$work/feedsend.log" &
send=$!
pids+=("$send")
sleep 1
printf 'GET / HTTP/1.0\r\n\r\n' >"$work/request"
vg feedfetch "$build/feedfetch/feedfetch" @127.0.0.1 "$port" "$work/request" >"$work/capture" \
    2>"$work/feedfetch.log" &
fetch=$!
pids+=("$fetch")
sleep 5

# SIGTERM ends each program the way an operator would; memcheck then writes its report.
status=0
for pid in "$fetch" "$send" "$relay"; do kill -TERM "$pid"; wait "$pid" 2>/dev/null; done
kill "$frame" 2>/dev/null
for name in relayhub feedsend feedfetch; do
    report="$work/$name.vg"
    echo "== $name"
    grep -E "ERROR SUMMARY|definitely lost|indirectly lost|All heap blocks" "$report"
    if ! grep -q "ERROR SUMMARY: 0 errors" "$report"; then
        echo "$name: memcheck found errors:"; cat "$report"; status=1
    fi
done
"$build/blockcheck/blockcheck" "$work/capture" || { echo "the capture is not intact"; status=1; }
exit $status
