#!/usr/bin/env bash
# The main job, shown on a clean 64-bit Windows machine: a minimal installed suite (the product key with
# its "Path", an install folder holding TavoRemover.exe and the trace library) is removed by running
# "TavoRemover.exe /ManualUninstall" as the suite's uninstall entry does.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tools/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null

template=$(tools/wine/machines.sh ensure win64)
prefix=$(mktemp -d /tmp/tavo-demo-XXXXXX)
cleanup() { WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$prefix"; }
trap cleanup EXIT
cp -a "$template/." "$prefix/"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver -p
wine cmd /c exit 0 </dev/null >/dev/null 2>&1

install_win='C:\Program Files (x86)\Velnor\Tavo Suite'
install="$prefix/drive_c/Program Files (x86)/Velnor/Tavo Suite"
mkdir -p "$install"
cp build/bin/TavoRemover.exe "$install/"
cp build/bin/fixtures/vlrtrace/both/vlrtrace.dll "$install/"
for view in 32 64; do
    wine reg add 'HKLM\SOFTWARE\Velnor\Plugins' /v Path /d "$install_win" /f /reg:$view >/dev/null 2>&1
done
wine reg add 'HKCU\SOFTWARE\Velnor\Plugins' /v Path /d "$install_win" /f >/dev/null 2>&1

show_state() {
    echo "install folder: $(ls "$install" 2>/dev/null | tr '\n' ' ')"
    for key in 'HKLM\SOFTWARE\Velnor\Plugins /reg:32' 'HKLM\SOFTWARE\Velnor\Plugins /reg:64' 'HKCU\SOFTWARE\Velnor\Plugins'; do
        if wine reg query $key >/dev/null 2>&1; then echo "key present: $key"; else echo "key gone:    $key"; fi
    done
}
echo "== The installed suite"
show_state

echo
echo "== TavoRemover.exe /ManualUninstall (console of the first stage)"
debug="$prefix/drive_c/debug-output.txt"
wine build/bin/winrun.exe --debug 'C:\debug-output.txt' --wait-for Launchlet.exe --wait-for cmd.exe \
    --wait-file '%TEMP%\Launchlet.exe' --timeout 120000 \
    -- "$install_win\\TavoRemover.exe" /ManualUninstall

echo
echo "== Debug output of both stages ([process id] text)"
tr -d '\r' <"$debug"

echo
echo "== What is left"
show_state
if ls "$prefix"/drive_c/users/*/Temp/Launchlet.exe >/dev/null 2>&1; then
    echo "relocated copy: still in the temporary folder"
else
    echo "relocated copy: deleted itself"
fi
