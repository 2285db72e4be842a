#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
#   scripts/test.sh            normal build (warnings are errors)
#   scripts/test.sh --asan     AddressSanitizer + UndefinedBehaviorSanitizer build
#   scripts/test.sh --tsan     ThreadSanitizer build
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=release
args=(-DTARN_WERROR=ON)
case "${1:-}" in
    --asan) flavour=asan; args+=(-DTARN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug) ;;
    --tsan) flavour=tsan; args+=(-DTARN_TSAN=ON -DCMAKE_BUILD_TYPE=Debug) ;;
    "") ;;
    *) echo "usage: $0 [--asan|--tsan]" >&2; exit 2 ;;
esac
dir=build/$flavour
gen=(); command -v ninja >/dev/null && gen=(-G Ninja)
cmake -S . -B "$dir" "${gen[@]}" "${args[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}
ctest --test-dir "$dir" --output-on-failure -j2 --timeout 600
