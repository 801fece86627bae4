#!/usr/bin/env bash
# The main job, shown on a clean 64-bit Windows machine: a minimal installed suite (the product key with
# its "Path", an install folder holding TavoRemover.exe and the trace library) is removed by running
# "TavoRemover.exe /ManualUninstall" as the suite's uninstall entry does. Before that, the plug-in host
# registers its COM server and type library and removes them again.
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
echo "== The plug-in host registers its COM server and type library, and removes them again"
cp build/bin/tavopluginhost.exe "$install/"
host_class='HKCR\CLSID\{7E3D1B92-4C05-4A6E-8F17-B9D2C0A54E38}'
for command in /RegServer /UnregServer; do
    wine build/bin/winrun.exe --exit-code 'C:\host-exit-code.txt' -- "$install_win\\tavopluginhost.exe" $command
    echo "tavopluginhost.exe $command: exit code $(head -1 "$prefix/drive_c/host-exit-code.txt" | tr -d '\r')"
    if wine reg query "$host_class\\LocalServer32" /reg:32 2>/dev/null | tr -d '\r' | grep -i 'REG_SZ' | sed 's/^ *(Default) *REG_SZ */    Meeting class, LocalServer32: /'; then
        wine reg query 'HKCR\TypeLib\{9F41C6D2-0E7B-4A35-B8C4-62D1E0F7A3B5}' /s /reg:32 2>/dev/null | tr -d '\r' |
            grep -i 'win32' -A1 | grep REG_SZ |
            sed 's/^ *(Default) *REG_SZ */    type library: /'
    else
        echo "    Meeting class: not registered"
    fi
done
rm -f "$install/tavopluginhost.exe" "$prefix/drive_c/host-exit-code.txt"
echo

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
