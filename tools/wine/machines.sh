#!/usr/bin/env bash
# The Wine test machines: templates made once and cached, copied for every test run.
#   machines.sh ensure win64|win32   make the template when missing; print its folder
#   machines.sh clean                remove the cached templates
# win64: a 64-bit Windows with WoW64 (our 32-bit programs on 64-bit Windows, the main case).
# win32: a 32-bit Windows.
# Both are sealed (machine-lib.sh): no drive letter and no link of the machine leads outside its folder.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=machine-lib.sh
. "$here/machine-lib.sh"

# Bump when the recipe below changes: the template folder gets a new name (older templates stay for
# whoever still uses them).
recipe=2
cache=${TAVO_WINE_CACHE:-/var/cache/tavo-wine}

make_template() {
    local machine=$1 folder=$2
    case $machine in
        win64 | win32) ;;
        *) echo "machines: unknown machine '$machine'" >&2; exit 2 ;;
    esac
    local work="$folder.partial"
    rm -rf "$work"
    mkdir -p "$work"
    (
        machine_env "$work" "$machine"
        export WINEDEBUG=-all
        cd "$work"
        wineboot -i >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
        winecfg -v win10 >/dev/null 2>&1
        wineserver -k || true
        wineserver -w || true
    )
    # The registry is written when the server exits; make sure it is complete before publishing.
    grep -q 'ShowCrashDialog' "$work/user.reg" || { echo "machines: $machine template incomplete" >&2; exit 1; }
    # Drive Z: (the Unix root), the port links and the profile folders' links (to the home, inside the
    # folder being made, which moves) go; the profile folders become plain folders.
    machine_seal "$work"
    machine_check "$work" || { echo "machines: $machine template not sealed" >&2; exit 1; }
    mv "$work" "$folder"
}

ensure() {
    local machine=$1
    local folder="$cache/$machine-r$recipe"
    if [ ! -f "$folder/system.reg" ]; then
        mkdir -p "$cache"
        exec 9>"$cache/$machine.lock"
        flock 9
        if [ ! -f "$folder/system.reg" ]; then
            echo "machines: making the $machine template (once)" >&2
            make_template "$machine" "$folder"
        fi
        flock -u 9
    fi
    echo "$folder"
}

case ${1:-} in
    ensure) ensure "${2:?machine}" ;;
    clean) rm -rf "$cache" ;;
    *) echo "usage: machines.sh ensure win64|win32 | clean" >&2; exit 2 ;;
esac
