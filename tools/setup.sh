#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine. Idempotent: a second run
# installs nothing and only checks.
set -euo pipefail

packages=(g++-mingw-w64-i686 mingw-w64-tools wine wine32:i386 wine64 libwine-dev googletest cmake
          binutils-mingw-w64-i686 qemu-user-static clang-format)
# The layering check of the source folders.
packages+=(python3)
# 64-bit fixtures (in-process component libraries), installer packages for the tests, and real code
# signatures (a test certificate authority and signed fixtures).
packages+=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wixl msitools osslsigncode openssl)

need_root() { if [ "$(id -u)" -ne 0 ]; then echo "setup: run as root (apt-get and binfmt need it)" >&2; exit 1; fi; }

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_root
    dpkg --add-architecture i386
fi
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# A package index can fail to download for a while (a mirror mid-sync answers "File has unexpected size
# ... Mirror sync in progress?" for one index): the update is tried again a few times, and the install is
# tried with whatever indexes apt then has. apt's own checks of what it downloads stay as they are.
update_tries=${TAVO_APT_UPDATE_TRIES:-4}
update_pause=${TAVO_APT_UPDATE_PAUSE:-20}
update_errors=$(mktemp)
install_errors=$(mktemp)
trap 'rm -f "$update_errors" "$install_errors"' EXIT

apt_update() {
    local try
    for ((try = 1; try <= update_tries; try++)); do
        # apt reports an index it could not fetch as an error, or as a warning with the exit code 0.
        if apt-get update -qq >/dev/null 2>"$update_errors" &&
            ! grep -qE '^(E:|W: Failed to fetch|W: Some index files failed)' "$update_errors"; then
            return 0
        fi
        echo "setup: apt-get update failed (try $try of $update_tries):" >&2
        grep '^[EW]:' "$update_errors" | sed 's/^/    /' >&2 || true
        if [ "$try" -lt "$update_tries" ]; then sleep $((update_pause * try)); fi
    done
    return 1
}

if [ ${#missing[@]} -gt 0 ]; then
    need_root
    echo "setup: installing ${missing[*]}"
    updated=yes
    if ! apt_update; then
        updated=no
        echo "setup: going on with the package indexes apt has" >&2
    fi
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null 2>"$install_errors"; then
        echo "setup: FAILED to install: ${missing[*]}" >&2
        sed 's/^/    /' "$install_errors" >&2
        if [ "$updated" = no ]; then
            echo "setup: apt-get update failed $update_tries times; its last errors:" >&2
            grep '^[EW]:' "$update_errors" | sed 's/^/    /' >&2 || true
            cat >&2 <<'ADVICE'
setup: what to do: a package index could not be downloaded (its URL is in the errors above).
    "File has unexpected size", "Hash Sum mismatch" or "Mirror sync in progress?": the mirror is being
    updated; wait (a sync can take hours) and run this script again. If it keeps failing, point the
    failing line of /etc/apt/sources.list (or sources.list.d) at another Debian mirror, run
    "apt-get update" until it succeeds, then this script again. Any other error (no network, name
    resolution, proxy): fix that first. Never turn off apt's signature or hash checks to get past it.
ADVICE
        else
            echo "setup: what to do: read apt's errors above (a package held back or not found), fix them," \
                 "and run this script again" >&2
        fi
        exit 1
    fi
    if [ "$updated" = no ]; then
        echo "setup: installed with the indexes apt had; run apt-get update later to refresh them" >&2
    fi
fi

# 32-bit Linux programs (Wine's 32-bit loader) run natively where the kernel allows it; where it does
# not (a kernel without 32-bit user mode), they run under qemu's i386 user-mode emulation.
"$(dirname "$0")/wine/enable-i386.sh"
echo "setup: ready"
