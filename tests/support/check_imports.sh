#!/usr/bin/env bash
# A program of the suite may import only DLLs that Windows always takes from the system folder
# (KnownDLLs): the uninstaller runs elevated from the user's temporary folder, the plug-in host from an
# install folder next to files others may put there. Everything else is loaded at run time by full path.
# ntdll.dll is mapped by the kernel into every process before any search for a library begins.
#   check_imports.sh objdump program.exe
set -euo pipefail
objdump=$1 program=$2
allowed='^(ntdll|kernel32|user32|gdi32|advapi32|shell32|shlwapi|ole32|oleaut32|msvcrt|comdlg32|rpcrt4)\.dll$'
imports=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
[ -n "$imports" ] || { echo "no import table read from $program"; exit 1; }
bad=$(echo "$imports" | grep -v -E "$allowed" || true)
echo "imports: $(echo $imports)"
if [ -n "$bad" ]; then echo "not a KnownDLL: $bad"; exit 1; fi
echo "1 passed, 0 failed"
