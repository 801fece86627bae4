#!/usr/bin/env bash
# Checks that the project's C and C++ files (.cpp, .h) follow .clang-format, changing nothing: every
# deviation is reported with its file and line, and the exit code is non-zero when there is one.
#   check-format.sh            every file of the project (build/ left out)
#   check-format.sh FILE...    these files only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [ $# -gt 0 ]; then
    files=("$@")
else
    mapfile -d '' files < <(find . \( -path ./build -o -path ./.git \) -prune -o -type f \
        \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)
fi
if [ ${#files[@]} -eq 0 ]; then
    echo "check-format: no files to check" >&2
    exit 1
fi
if clang-format --dry-run -Werror "${files[@]}"; then
    echo "check-format: ${#files[@]} files as .clang-format asks"
else
    echo "check-format: files differ from .clang-format (clang-format -i FILE changes them)" >&2
    exit 1
fi
