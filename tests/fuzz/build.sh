#!/usr/bin/env bash
# Builds the NetCmd fuzz targets with clang's libFuzzer (AddressSanitizer + UBSan) and, with
# a duration, runs each for that many seconds. Not part of the ctest run.
#   tests/fuzz/build.sh OUT_DIR [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${1:?usage: $0 OUT_DIR [SECONDS]}"
seconds="${2:-0}"
command -v clang++ >/dev/null || { echo "clang++ not found: no fuzz targets" >&2; exit 0; }
mkdir -p "$out"
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I"$root/src")
sources=("$root/src/device/netcmd_codec.cpp" "$root/src/device/netcmd_trace.cpp" "$root/src/device/device_list.cpp")
for target in "$root"/tests/fuzz/*_fuzz.cpp; do
    name="$(basename "$target" .cpp)"
    clang++ "${flags[@]}" "$target" "${sources[@]}" -o "$out/$name"
    echo "built $out/$name"
    if [ "$seconds" -gt 0 ]; then
        mkdir -p "$out/$name.corpus"
        "$out/$name" -max_total_time="$seconds" -max_len=9000 "$out/$name.corpus"
    fi
done
