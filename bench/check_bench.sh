#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs the benchmark briefly (--quick), every scenario and then soak, which runs only when
# named, and checks that each printed its JSON lines.
# relaybench itself exits non-zero when a scenario could not run or received no stream byte.
# No speed threshold: figures are for reading, not for passing.
# Usage: check_bench.sh RELAYBENCH RELAYHUB [BLOCKFRAME FEEDSEND]
bench=$1
relayhub=$2
shift 2
pipeline=""
[ $# -ge 2 ] && pipeline="--blockframe $1 --feedsend $2"
# shellcheck disable=SC2086  # $pipeline is two options and their paths, none with spaces
out=$("$bench" --relayhub "$relayhub" $pipeline --quick) || { echo "relaybench failed"; echo "$out"; exit 1; }
echo "$out"
# soak runs only when named: a few seconds of it with --quick.
# shellcheck disable=SC2086  # as above
soak=$("$bench" --relayhub "$relayhub" $pipeline --quick --scenario soak) || { echo "relaybench soak failed"; echo "$soak"; exit 1; }
echo "$soak"
out="$out
$soak"
expect() {  # scenario, number of JSON lines
    n=$(echo "$out" | grep -c "^{\"scenario\":\"$1\"")
    [ "$n" -eq "$2" ] || { echo "$1: expected $2 JSON lines, got $n"; exit 1; }
}
expect cap 1
expect steady 2
expect storm 1
expect lockout 1
expect ceiling 1
expect joins 5
expect burst 1
expect small 1
expect stalled 1
expect hostile 1
expect soak 1
# --quick reloads the relay in each steady run: every one of them timed at least one reload.
n=$(echo "$out" | grep "^{\"scenario\":\"steady\"" | grep -c '"reloads_timed":[1-9]')
[ "$n" -eq 2 ] || { echo "steady: expected 2 JSON lines with reloads timed, got $n"; exit 1; }
# A table row that names a figure its run does not hold shows "nan" in its place.
if echo "$out" | grep -qw nan; then
    echo "a table row shows nan:"; echo "$out" | grep -w nan; exit 1
fi
