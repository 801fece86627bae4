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
if [ ${#missing[@]} -gt 0 ]; then
    need_root
    echo "setup: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# 32-bit Linux programs (Wine's 32-bit loader) run natively where the kernel allows it; where it does
# not (a kernel without 32-bit user mode), they run under qemu's i386 user-mode emulation.
"$(dirname "$0")/wine/enable-i386.sh"
echo "setup: ready"
