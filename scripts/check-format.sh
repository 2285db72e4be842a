#!/usr/bin/env bash
# Checks that every C and C++ file of ours is formatted as .clang-format says; prints the
# places that are not. `scripts/check-format.sh --fix` formats them instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
if [[ ${1:-} == --fix ]]; then
    clang-format -i "${files[@]}"
else
    clang-format --dry-run -Werror "${files[@]}"
    echo "check-format: ${#files[@]} files ok"
fi
