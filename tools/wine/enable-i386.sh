#!/usr/bin/env bash
# Makes 32-bit Linux executables runnable, which Wine's 32-bit side needs. Native when the kernel runs
# them; otherwise through a binfmt_misc entry for qemu-i386 user-mode emulation. The emulated guest gets
# 0x80400000 bytes of address space: enough for Wine's layout (shared user data at 0x7ffe0000); larger
# reservations make every process start much slower under emulation.
set -euo pipefail

if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then exit 0; fi

wrapper=/usr/local/bin/tavo-qemu-i386
if [ ! -x "$wrapper" ]; then
    printf '#!/bin/sh\nexec /usr/bin/qemu-i386-static -R 0x80400000 "$@"\n' >"$wrapper"
    chmod 755 "$wrapper"
fi
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
if [ ! -e "$binfmt/tavo-i386" ]; then
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":tavo-i386:M::${magic}:${mask}:${wrapper}:" >"$binfmt/register"
fi
/lib/ld-linux.so.2 --version >/dev/null 2>&1 || { echo "enable-i386: 32-bit programs still do not run" >&2; exit 1; }
