#!/usr/bin/env bash
# The main job, shown on clean 64-bit Windows machines: the plug-in host is registered, started by a
# plug-in's request, passes the request to the manager library and its answer back as an event, ends by
# itself once idle, and is unregistered; then the whole suite, installed and running, is removed by
# "TavoRemover.exe /ManualUninstall" and the machine is compared with its state before the install.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tools/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null

bin="$root/build/bin"
# A clean copy of the sealed 64-bit machine (no path of it leads outside it); Wine runs with the
# machine's drive C: as its current folder and every program started from inside the machine.
# shellcheck source=wine/machine-lib.sh
. tools/wine/machine-lib.sh
trap machine_remove EXIT
machine_create win64
prefix=$MACHINE_PREFIX
machine_start
mkdir -p "$prefix/drive_c/tavo-bin"
cp "$bin/winrun.exe" "$prefix/drive_c/tavo-bin/"
winrun='C:\tavo-bin\winrun.exe'

install_win='C:\Program Files (x86)\Velnor\Tavo Suite'
install="$prefix/drive_c/Program Files (x86)/Velnor/Tavo Suite"
mkdir -p "$install"
cp "$bin"/fixtures/vlrtrace/both/vlrtrace.dll "$install/"

echo "== The plug-in host: registration, a plug-in's request and its event, the idle end"
# The host beside a test build of the manager library, which records what reaches it and answers as
# told; a script-driven plug-in (the test client) asks for a meeting and waits for the answer event.
cp "$bin"/tavopluginhost.exe "$bin"/fixtures/manager/full/tavoMgr.dll "$install/"
demo_win='C:\tavo-demo'
demo="$prefix/drive_c/tavo-demo"
mkdir -p "$demo"
cp "$bin"/fixtures/plugin_client/tavoplugin_client.exe "$demo/"
host_class='HKCR\CLSID\{7E3D1B92-4C05-4A6E-8F17-B9D2C0A54E38}'
typelib='HKCR\TypeLib\{9F41C6D2-0E7B-4A35-B8C4-62D1E0F7A3B5}'
wine "$winrun" --exit-code "$demo_win\\exit-code.txt" -- "$install_win\\tavopluginhost.exe" /RegServer
echo "tavopluginhost.exe /RegServer: exit code $(head -1 "$demo/exit-code.txt" | tr -d '\r')"
wine reg query "$host_class\\LocalServer32" /reg:32 2>/dev/null | tr -d '\r' | grep REG_SZ |
    sed 's/^ *(Default) *REG_SZ */    Meeting class, LocalServer32: /'
wine reg query "$typelib\\1.0\\409\\win32" /reg:32 2>/dev/null | tr -d '\r' | grep REG_SZ |
    sed 's/^ *(Default) *REG_SZ */    type library, locale 409: /'
# Wine's universal marshaler looks for a type library under locale 0 only (Windows finds 409): an alias
# on this demo machine, removed again below.
wine reg add "$typelib\\1.0\\0\\win32" /ve /d "$install_win\\tavopluginhost.exe" /f /reg:32 >/dev/null 2>&1

export TAVO_MGR_LOG="$demo_win\\manager.log" TAVO_MGR_CONTROL="$demo_win\\control.txt" \
    TAVO_MGR_COMMANDS="$demo_win\\commands.txt"
printf 'cookie StartOCMeeting 7\n' >"$demo/control.txt"
cat >"$demo/plugin.txt" <<SCRIPT
create Meeting progid
advise
call StartOCMeeting "<start subject=\\"demo\\"/>"
touch $demo_win\\requested
wait-file $demo_win\\answered 60000
release all
exit 0
SCRIPT
started=$(date +%s)
wine "$winrun" --wait-for tavopluginhost.exe --timeout 120000 \
    -- "$demo_win\\tavoplugin_client.exe" "$demo_win\\plugin.txt" "$demo_win\\plugin-record.txt" &
runner=$!
for _ in $(seq 600); do [ -e "$demo/requested" ] && break; sleep 0.1; done
# The manager answers later, through its meeting sink, with the cookie it handed out.
printf 'meeting OnGetMeetingData "<meeting id=\\"42\\"/>" 7\nmark answered\n' >"$demo/commands.tmp"
mv "$demo/commands.tmp" "$demo/commands.txt"
for _ in $(seq 600); do grep -q 'mark answered' "$demo/manager.log" 2>/dev/null && break; sleep 0.1; done
sleep 1
: >"$demo/answered"
wait $runner || true
echo "plug-in's record:"
tr -d '\r' <"$demo/plugin-record.txt" | sed 's/^/    /'
echo "manager's record:"
tr -d '\r' <"$demo/manager.log" | sed 's/^/    /'
echo "the host ended by itself $(( $(date +%s) - started )) s after the plug-in started (idle for about 5 s)"

wine "$winrun" --exit-code "$demo_win\\exit-code.txt" -- "$install_win\\tavopluginhost.exe" /UnregServer
echo "tavopluginhost.exe /UnregServer: exit code $(head -1 "$demo/exit-code.txt" | tr -d '\r')"
wine reg delete "$typelib\\1.0\\0" /f /reg:32 >/dev/null 2>&1 || true
if wine reg query "$host_class" /reg:32 >/dev/null 2>&1; then echo "    Meeting class: still registered"; else
    echo "    Meeting class: not registered"; fi
unset TAVO_MGR_LOG TAVO_MGR_CONTROL TAVO_MGR_COMMANDS
rm -rf "$demo" "$install/tavopluginhost.exe" "$install/tavoMgr.dll"
echo

echo "== The whole suite installed, running and removed (a fresh copy of the clean 64-bit machine)"
# The scenario program installs everything the uninstaller removes (tests/e2e/suite_installer.h), takes
# the machine's footprint, runs "TavoRemover.exe /ManualUninstall" from the install folder as a user
# would, waits for it (the first stage returns when its copy has finished, with the copy's exit code: 0
# everything is gone, 3010 the rest goes at the next restart, 1603 something could not be removed, 1618
# another uninstall runs) and for its private folder to go, and compares the footprint with the one from
# before the install. It prints what it installed, the uninstaller's console (without the thousands of
# paths it deletes), its exit code and what is left on the machine with the reason for each; anything
# else fails it.
machine_remove
trap - EXIT
if "$root"/tools/wine/run-in-machine.sh --gtest win64 "$bin/suite_removal_test.exe" |
    tr -d '\r' | grep -v -E '^(\[(=|-| RUN|       OK|  PASSED)|path=|Note: )'; then
    echo "Nothing else on the machine changed."
else
    echo "The scenario FAILED: what changed besides the expected remains is listed above."
    exit 1
fi
