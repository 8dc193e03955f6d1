#!/bin/sh
# Runs the benchmark briefly and checks that it printed one JSON line per scenario run.
out=$("$1" --relayhub "$2" --quick) || { echo "relaybench failed"; echo "$out"; exit 1; }
echo "$out"
for scenario in cap steady storm; do
    echo "$out" | grep -q "^{\"scenario\":\"$scenario\"" || { echo "no JSON line for $scenario"; exit 1; }
done
[ "$(echo "$out" | grep -c '^{"scenario":"steady"')" -eq 2 ] || { echo "steady: expected 2 lines"; exit 1; }
