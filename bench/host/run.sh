#!/usr/bin/env bash
# The host benchmark in one command: builds it and runs it on a fresh copy of a Wine machine.
#   bench/host/run.sh [win64|win32]      (default win64)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
cmake --preset default >/dev/null
cmake --build --preset default --target host_bench
exec tools/wine/run-in-machine.sh "${1:-win64}" build/bin/bench/host_bench.exe
