#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite on the Wine machines.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
start=$(date +%s)
tools/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default
echo "test suite wall time: $(( $(date +%s) - start )) s"
