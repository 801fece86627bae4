#!/usr/bin/env bash
# Runs one Windows program on a clean copy of a Wine machine template and removes the copy afterwards.
#   run-in-machine.sh [--gtest] win64|win32 program.exe [arguments...]
# The exit code is the program's (modulo 256, as wine reports it). With --gtest the program is a
# GoogleTest program and passes only when it also printed its closing "[  PASSED  ]" line and no failure:
# a test program that dies on the way must not pass because wine reported 0.
set -uo pipefail

gtest=0
if [ "${1:-}" = --gtest ]; then gtest=1; shift; fi
machine=${1:?machine}; shift
here=$(cd "$(dirname "$0")" && pwd)
template=$("$here/machines.sh" ensure "$machine") || exit 1

prefix=$(mktemp -d "${TMPDIR:-/tmp}/tavo-$machine-XXXXXX")
# The processes of this machine: every process whose environment names this (unique) prefix.
machine_processes() {
    grep -lsz "^WINEPREFIX=$prefix\$" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 | grep -vx -e "$$" -e "$BASHPID"
}
cleanup() {
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w >/dev/null 2>&1
    # Now and then a system process of the machine misses its server's end and sleeps on for ever.
    local stray
    stray=$(machine_processes)
    [ -n "$stray" ] && kill -KILL $stray 2>/dev/null
    rm -rf "$prefix" "$prefix.log" "$prefix.rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cp -a "$template/." "$prefix/"

export WINEPREFIX="$prefix" WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
[ "$machine" = win32 ] && export WINEARCH=win32
# Tells tests that the 32-bit processor is emulated (see enable-i386.sh).
[ -e /proc/sys/fs/binfmt_misc/tavo-i386 ] && export TAVO_EMULATED_I386=1
# A server started by a command whose output is a pipe keeps that pipe open (the system services inherit
# it): start it persistent and warm it up with output to /dev/null first.
wineserver -p >/dev/null 2>&1
wine cmd /c exit 0 </dev/null >/dev/null 2>&1
# The program runs in the background and the script waits for it: a wait, unlike a foreground command,
# is cut short by a signal, so a time-out's TERM reaches the cleanup even when the program hangs.
if [ $gtest = 0 ]; then
    wine "$@" <&0 &
    wait $!
    exit $?
fi
log="$prefix.log"
{
    wine "$@" 2>&1
    echo $? >"$prefix.rc"
} | tee "$log" &
wait $!
rc=$(cat "$prefix.rc" 2>/dev/null || echo 1)
rm -f "$prefix.rc"
summary_ok=0
grep -a -q '^\[  PASSED  \] ' "$log" && ! grep -a -q '^\[  FAILED  \] ' "$log" && summary_ok=1
rm -f "$log"
if [ $rc -eq 0 ] && [ $summary_ok = 0 ]; then
    echo "run-in-machine: the test program ended without a clean GoogleTest summary" >&2
    rc=1
fi
exit $rc
