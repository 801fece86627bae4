#!/usr/bin/env bash
# Fails when a path of a Wine machine leads outside the machine's folder (the prefix): an entry of
# dosdevices (drive letters, device links) or any symbolic link elsewhere in the prefix (drive_c, the
# machine's Unix home) whose resolved target lies outside it. Names every such path.
#   check-sealed.sh PREFIX
# Exit code 0 when sealed, 1 when a path leads outside, 2 when PREFIX is not a Wine machine.
set -euo pipefail

prefix=$(realpath -e "${1:?prefix}")
if [ ! -f "$prefix/system.reg" ] || [ ! -d "$prefix/dosdevices" ]; then
    echo "check-sealed: $prefix is not a Wine machine" >&2
    exit 2
fi

inside() { case $1 in "$prefix" | "$prefix"/*) return 0 ;; *) return 1 ;; esac; }
resolve() { realpath -m -- "$1" 2>/dev/null || echo "(unresolvable)"; }

outside=0
entries=0
links=0
for entry in "$prefix"/dosdevices/* "$prefix"/dosdevices/.[!.]*; do
    [ -e "$entry" ] || [ -L "$entry" ] || continue
    entries=$((entries + 1))
    target=$(resolve "$entry")
    if ! inside "$target"; then
        echo "check-sealed: leads outside: dosdevices/${entry##*/} -> $target"
        outside=$((outside + 1))
    fi
done
if [ "$(resolve "$prefix/dosdevices/c:")" != "$prefix/drive_c" ]; then
    echo "check-sealed: drive C: is not the machine's drive_c"
    outside=$((outside + 1))
fi
while IFS= read -r -d '' link; do
    links=$((links + 1))
    target=$(resolve "$link")
    if ! inside "$target"; then
        echo "check-sealed: leads outside: ${link#"$prefix"/} -> $target"
        outside=$((outside + 1))
    fi
done < <(find "$prefix" -path "$prefix/dosdevices" -prune -o -type l -print0)

if [ $outside -gt 0 ]; then
    echo "check-sealed: $prefix: $outside path(s) lead outside the machine" >&2
    exit 1
fi
echo "check-sealed: $prefix: $entries dosdevices entries and $links other links, all inside the machine"
