#!/usr/bin/env bash
# Runs one Windows program on a clean, sealed copy of a Wine machine template and removes the copy
# afterwards.
#   run-in-machine.sh [--gtest] win64|win32 program.exe [arguments...]
# A program given by its Unix path runs from inside the machine: its folder is copied to C:\tavo-bin
# (without the other GoogleTest programs, *_test.exe), which is also its current folder, so that every path
# it finds beside itself or relative to its current folder lies on the machine's drive C:. Anything else
# (cmd, a Windows path) is passed to wine as it is.
# The exit code is the program's (modulo 256, as wine reports it). With --gtest the program is a
# GoogleTest program and passes only when it also printed its closing "[  PASSED  ]" line and no failure:
# a test program that dies on the way must not pass because wine reported 0. A machine that is not sealed
# before the program starts runs nothing; one that is no longer sealed after it fails the run.
set -uo pipefail

gtest=0
if [ "${1:-}" = --gtest ]; then gtest=1; shift; fi
machine=${1:?machine}; shift
program=${1:?program}; shift
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=machine-lib.sh
. "$here/machine-lib.sh"

log=
cleanup() {
    machine_remove
    if [ -n "$log" ]; then rm -f "$log" "$log.rc"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
machine_create "$machine" || exit 1
if [ -f "$program" ]; then
    machine_install "$program" || exit 1
    program=$MACHINE_PROGRAM
fi
machine_start || { echo "run-in-machine: the $machine machine is not sealed; nothing was run" >&2; exit 1; }
if [ -n "${MACHINE_PROGRAM_DIR:-}" ]; then cd "$MACHINE_PROGRAM_DIR" || exit 1; fi

# After the program: a machine that now has a path leading outside fails the run.
sealed_after() {
    machine_check "$MACHINE_PREFIX" && return 0
    echo "run-in-machine: after the program, a path of the machine leads outside it" >&2
    return 1
}

# The program runs in the background and the script waits for it: a wait, unlike a foreground command,
# is cut short by a signal, so a time-out's TERM reaches the cleanup even when the program hangs.
if [ $gtest = 0 ]; then
    wine "$program" "$@" <&0 &
    wait $!
    rc=$?
    sealed_after || [ $rc -ne 0 ] || rc=1
    exit $rc
fi
log=$(mktemp "${TMPDIR:-/tmp}/tavo-run-XXXXXX.log")
{
    wine "$program" "$@" 2>&1
    echo $? >"$log.rc"
} | tee "$log" &
wait $!
rc=$(cat "$log.rc" 2>/dev/null || echo 1)
summary_ok=0
grep -a -q '^\[  PASSED  \] ' "$log" && ! grep -a -q '^\[  FAILED  \] ' "$log" && summary_ok=1
if [ "$rc" -eq 0 ] && [ $summary_ok = 0 ]; then
    echo "run-in-machine: the test program ended without a clean GoogleTest summary" >&2
    rc=1
fi
sealed_after || [ "$rc" -ne 0 ] || rc=1
exit "$rc"
