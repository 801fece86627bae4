#!/usr/bin/env bash
# Runs one Windows program on a clean copy of a Wine machine template and removes the copy afterwards.
#   run-in-machine.sh win64|win32 program.exe [arguments...]
# The exit code is the program's (modulo 256, as wine reports it).
set -uo pipefail

machine=${1:?machine}; shift
here=$(cd "$(dirname "$0")" && pwd)
template=$("$here/machines.sh" ensure "$machine") || exit 1

prefix=$(mktemp -d "${TMPDIR:-/tmp}/tavo-$machine-XXXXXX")
cleanup() {
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w >/dev/null 2>&1
    rm -rf "$prefix"
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
wine "$@"
