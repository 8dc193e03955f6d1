# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2154  # $build is set by the script that sources this one
# Sourced by demo.sh and contrib/cluster.sh, from the top of the source tree, after each has
# set $build (the build folder whose programs it runs): what both need to run relays on
# loopback and stop every part by its pid.

# need_programs NAME...: the programs in $build, built (the programs preset, after installing
# what building needs) when one of them is missing.
need_programs() {
    local p missing=0
    for p in "$@"; do [ -x "$build/$p/$p" ] || missing=1; done
    [ "$missing" = 0 ] && return 0
    # shellcheck source=contrib/need-packages.sh
    . contrib/need-packages.sh
    need_packages cmake make g++
    echo "== building into $build"
    cmake --preset programs >/dev/null && cmake --build "$build" -j2 >/dev/null ||
        { echo "build failed"; exit 2; }
}

bin() { echo "$build/$1/$1"; }

# make_workdir LABEL: $work, a fresh folder for the parts' logs, and $pids, the list of what
# was started; when the script exits, every pid in the list is stopped and reaped and $work
# removed.
make_workdir() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/relayhub-$1.XXXXXX")
    pids=()
    trap cleanup EXIT
}
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}

# start_relay NAME [OPTION...]: relayhub with the options, its output in $work/NAME.out and
# NAME.log, on $relay_port_given when that is set, otherwise on the first of a few random ports
# that it can open; with $relay_metrics set, its metrics and health answer on another random
# port. Its ports go to $relay_port and $metrics_port, its pid to $relay_pid and the list. Only
# a random port that cannot be opened is tried again: any other failure (a -c beyond the
# open-file limit) is shown at once and ends the script.
start_relay() {
    local name=$1
    local metrics=()
    shift
    for _ in $(seq 1 20); do
        relay_port=${relay_port_given:-$((20000 + RANDOM % 40000))}
        if [ -n "${relay_metrics:-}" ]; then
            metrics_port=$((20000 + RANDOM % 40000))
            metrics=(-m "$metrics_port")
        fi
        "$(bin relayhub)" "$@" "${metrics[@]}" "$relay_port" >"$work/$name.out" \
            2>"$work/$name.log" &
        relay_pid=$!
        sleep 0.3
        if kill -0 "$relay_pid" 2>/dev/null; then
            pids+=("$relay_pid")
            return 0
        fi
        wait "$relay_pid" 2>/dev/null
        if [ -n "${relay_port_given:-}" ] || ! grep -q "failed to open port" "$work/$name.out"; then
            break
        fi
    done
    echo "$name did not start:"; cat "$work/$name.out" "$work/$name.log"; exit 2
}

# start_test_stream PORT: a 16,000 bytes-per-second test stream in blockframe's default blocks,
# each exactly three of feedsend's 1460-byte pieces, fed to the relay at PORT by the producer's
# pipeline, `blockframe -t -r 16000 | feedsend @127.0.0.1 PORT`, joined by a fifo in $work.
start_test_stream() {
    mkfifo "$work/stream"
    "$(bin blockframe)" -t -r 16000 >"$work/stream" &
    pids+=($!)
    "$(bin feedsend)" @127.0.0.1 "$1" <"$work/stream" 2>"$work/feedsend.log" &
    pids+=($!)
}
