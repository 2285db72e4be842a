#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with AddressSanitizer and UBSan) and runs each for
# SECONDS (60 by default), starting from its corpus in tests/fuzz/corpus/<target>, which is
# left as it is. Prints one line a target (executions, coverage, crashes) and exits 1 when
# any input crashed; the crashing inputs are kept in BUILD_DIR/crashes.
#
#   scripts/fuzz.sh [SECONDS] [BUILD_DIR]      (BUILD_DIR: build/fuzz)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${2:-$root/build/fuzz}
command -v clang++ >/dev/null || { echo "fuzz: clang++ is not installed (package clang)" >&2; exit 1; }
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_FUZZ=ON -DTARN_BUILD_GUI=OFF -DTARN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_targets >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/crashes"
failed=0
printf '%-18s %12s %9s %8s\n' target executions coverage crashes
for target in "$build"/tests/fuzz/*_fuzz; do
    name=$(basename "$target" _fuzz)
    corpus=$work/$name
    mkdir -p "$corpus"
    if [ -d "$root/tests/fuzz/corpus/$name" ]; then
        cp "$root/tests/fuzz/corpus/$name"/* "$corpus"/
    fi
    log=$work/$name.log
    status=0
    "$target" -max_total_time="$seconds" -max_len=16384 -print_final_stats=1 \
        -artifact_prefix="$build/crashes/$name-" "$corpus" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    crashes=0
    if [ "$status" -ne 0 ]; then
        crashes=1
        failed=1
        tail -n 30 "$log" >&2
    fi
    printf '%-18s %12s %9s %8s\n' "$name" "${runs:-0}" "${coverage:-0}" "$crashes"
done
exit "$failed"
