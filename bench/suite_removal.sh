#!/usr/bin/env bash
# The whole suite's uninstall timed on a clean 64-bit machine, against the baseline on another copy of the
# same machine: msiexec /x of a package that carries the same data tree of 10,000 files.
#   bench/suite_removal.sh [win64|win32]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
machine=${1:-win64}
cmake --preset default >/dev/null
cmake --build --preset default --target suite_removal_bench >/dev/null
bench="$root/build/bin/suite_removal_bench.exe"
run() { tools/wine/run-in-machine.sh "$machine" "$bench" "$1" | tr -d '\r' | grep '^bench ' || true; }
suite=$(run uninstall)
baseline=$(run baseline)
echo "Uninstall of the whole suite on $machine (wall time per step):"
echo "$suite" | sed -n 's/^bench step /  /p'
echo "$suite" | grep -v '^bench step ' | sed 's/^bench /  /'
echo "$baseline" | sed 's/^bench /  /'
total=$(echo "$suite" | sed -n 's/^bench uninstall \([0-9]*\) ms/\1/p')
base=$(echo "$baseline" | sed -n 's/^bench baseline \([0-9]*\) ms.*/\1/p')
if [ -n "$total" ] && [ -n "$base" ] && [ "$base" -gt 0 ]; then
    awk -v t="$total" -v b="$base" 'BEGIN { printf "  ratio uninstall / baseline: %.2f\n", t / b }'
fi
