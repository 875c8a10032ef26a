#!/usr/bin/env bash
# Checks that every C and C++ source of the tree is formatted by the project's .clang-format
# (the saved fuzz inputs are data, not sources). Prints what differs and fails if anything does.
# `scripts/check_format.sh --fix` formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t sources < <(git ls-files -- '*.cpp' '*.cc' '*.c' '*.h' '*.hpp' ':!fuzz/corpus/**')
else
    mapfile -t sources < <(find . -path ./fuzz/corpus -prune -o -path './build*' -prune -o \
        -type f \( -name '*.cpp' -o -name '*.cc' -o -name '*.c' -o -name '*.h' -o -name '*.hpp' \) \
        -print | sort)
fi

if [ "${1:-}" = "--fix" ]; then
    clang-format -i "${sources[@]}"
else
    clang-format --dry-run --Werror "${sources[@]}"
    echo "check_format: ${#sources[@]} sources formatted"
fi
