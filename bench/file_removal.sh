#!/usr/bin/env bash
# The install folder's removal (10,000 files in 110 folders) through handles against the removal by path
# it replaced, alternating, on a fresh copy of a Wine machine; prints each run, the medians and the ratio.
#   bench/file_removal.sh [win64|win32] [rounds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset default >/dev/null
cmake --build --preset default --target file_removal_bench >/dev/null
exec tools/wine/run-in-machine.sh "${1:-win64}" build/bin/file_removal_bench.exe "${2:-5}"
