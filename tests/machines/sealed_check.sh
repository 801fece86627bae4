#!/usr/bin/env bash
# A fresh copy of a machine template is sealed and stays sealed while Wine runs in it: no drive letter
# and no link of the machine leads outside its folder. Cases, in one copy:
#   template  before Wine started in it
#   start     after Wine started: no drive letter but C:, the profile folders still plain folders; the
#             port links Wine makes at every start (from the computer's serial devices) are removed
#             again, as every start script does, and then nothing leads outside
#   update    after a Wine update (wineboot -u, as after an upgrade of the Wine package): the same
#   program   a program started from inside the machine (machine_probe.exe) lists drive C: only, and its
#             own path, current folder, temporary folder and profile folders lie on it, even the two
#             profile folders deleted before and made again by Wine when asked for
#   check     the check itself fails on a drive letter and on a profile folder that lead outside, and
#             names both
#   sealed_check.sh win64|win32 machine_probe.exe
set -uo pipefail
machine=${1:?machine}
probe=${2:?probe}
here=$(cd "$(dirname "$0")" && pwd)
check="$here/../../tools/wine/check-sealed.sh"
# shellcheck source=../../tools/wine/machine-lib.sh
. "$here/../../tools/wine/machine-lib.sh"

failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}
outside=
cleanup() {
    machine_remove
    if [ -n "$outside" ]; then rm -rf "$outside"; fi
}
trap cleanup EXIT
machine_create "$machine" || exit 1
prefix=$(realpath "$MACHINE_PREFIX")
user_dir=$(find "$prefix/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n 1)
profile=(Desktop Documents Downloads Music Pictures Videos AppData/Roaming/Microsoft/Windows/Templates)

expect_sealed() {
    local stage=$1 report
    report=$("$check" "$prefix" 2>&1) || fail "$stage: $report"
}
# No drive letter but C:, and every profile folder a plain folder.
expect_unchanged() {
    local stage=$1 entry name
    for entry in "$prefix"/dosdevices/*; do
        name=${entry##*/}
        case $name in
            c:) ;;
            [a-z]: | [a-z]::) fail "$stage: Wine made drive $name -> $(readlink "$entry")" ;;
        esac
    done
    for name in "${profile[@]}"; do
        if [ -L "$user_dir/$name" ] || [ ! -d "$user_dir/$name" ]; then
            fail "$stage: the profile folder $name is not a plain folder"
        fi
    done
}
show_ports() {
    local entry
    for entry in "$prefix"/dosdevices/com* "$prefix"/dosdevices/lpt*; do
        if [ -L "$entry" ]; then echo "  Wine linked the port ${entry##*/} -> $(readlink "$entry")"; fi
    done
}

echo "== template"
[ -n "$user_dir" ] || fail "template: no user profile folder"
expect_sealed template
expect_unchanged template

echo "== start"
cd "$prefix/drive_c" || exit 1
wineserver -p >/dev/null 2>&1
wine cmd /c exit 0 </dev/null >/dev/null 2>&1
expect_unchanged start
show_ports
machine_seal "$prefix"
expect_sealed start

echo "== update"
wineboot -u </dev/null >/dev/null 2>&1 || fail "update: wineboot -u failed"
expect_unchanged update
show_ports
machine_seal "$prefix"
expect_sealed update

echo "== program"
rmdir "$user_dir/Desktop" "$user_dir/Music" || fail "program: the profile folders Desktop and Music were not empty"
machine_install "$probe"
cd "$MACHINE_PROGRAM_DIR" || exit 1
output=$(wine "$MACHINE_PROGRAM" </dev/null 2>&1)
rc=$?
printf '%s\n' "$output" | tr -d '\r' | sed 's/^/  /'
[ $rc -eq 0 ] || fail "program: machine_probe.exe ended with $rc"
for name in Desktop Music; do
    if [ -L "$user_dir/$name" ]; then
        echo "  Wine made the profile folder $name again as a link -> $(readlink "$user_dir/$name")"
    fi
    [ -d "$user_dir/$name" ] || fail "program: the profile folder $name was not made again"
done
expect_sealed program

echo "== check"
outside=$(mktemp -d "${TMPDIR:-/tmp}/tavo-outside-XXXXXX")
ln -s "$outside" "$prefix/dosdevices/y:"
mv "$user_dir/Documents" "$user_dir/Documents.plain"
ln -s "$outside" "$user_dir/Documents"
report=$("$check" "$prefix" 2>&1)
rc=$?
printf '%s\n' "$report" | sed 's/^/  /'
[ $rc -eq 1 ] || fail "check: exit code $rc for a machine with two paths leading outside (1 expected)"
grep -q "dosdevices/y: -> $outside\$" <<<"$report" || fail "check: drive Y: leading outside not named"
grep -q "/Documents -> $outside\$" <<<"$report" || fail "check: the Documents link leading outside not named"
rm -f "$prefix/dosdevices/y:" "$user_dir/Documents"
mv "$user_dir/Documents.plain" "$user_dir/Documents"
expect_sealed check

if [ $failures -gt 0 ]; then
    echo "sealed_check: $machine: $failures failure(s)"
    exit 1
fi
echo "sealed_check: $machine: sealed before and after Wine started, after an update and after a program ran"
