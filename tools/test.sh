#!/usr/bin/env bash
# Installs what is missing, builds, checks the formatting of the C++ files and runs the whole test suite
# on the Wine machines. Every test program runs exactly once. Only where 32-bit programs run under
# qemu's user-mode emulation (tools/wine/enable-i386.sh), whose Wine now and then dies of the emulator's
# own faults, are the failed test programs run again, at most three more times, and their names printed
# ("retried: ..."). The exit code is non-zero when the formatting check fails or a test program still
# fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
start=$(date +%s)
tools/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default

format=0
tools/check-format.sh || format=$?

failed_log=build/Testing/Temporary/LastTestsFailed.log
rm -f "$failed_log"
tests=0
ctest --preset default || tests=$?
if [ $tests -ne 0 ] && [ -e /proc/sys/fs/binfmt_misc/tavo-i386 ] && [ -s "$failed_log" ]; then
    retried=()
    for attempt in 1 2 3; do
        mapfile -t names < <(cut -d: -f2- "$failed_log")
        echo "test: under the i386 emulation, running again (attempt $attempt of 3): ${names[*]}"
        retried+=("${names[@]}")
        tests=0
        ctest --preset default --rerun-failed || tests=$?
        if [ $tests -eq 0 ] || [ ! -s "$failed_log" ]; then break; fi
    done
    echo "retried: $(printf '%s\n' "${retried[@]}" | sort -u | paste -sd ' ')"
fi

echo "test suite wall time: $(($(date +%s) - start)) s"
if [ $format -ne 0 ]; then echo "test: the formatting check failed (tools/check-format.sh)" >&2; fi
if [ $tests -ne 0 ]; then echo "test: test programs failed" >&2; fi
[ $format -eq 0 ] && [ $tests -eq 0 ]
