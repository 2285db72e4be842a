#!/usr/bin/env bash
# Builds the programs and runs the demonstration (simulated devices in their own network
# namespaces); nothing touches the machine's own network.
set -euo pipefail
cd "$(dirname "$0")/.."
gen=(); command -v ninja >/dev/null && gen=(-G Ninja)
cmake -S . -B build/release "${gen[@]}" >/dev/null
cmake --build build/release -j"$(nproc)"
if [ -x scripts/demo.sh ]; then
    exec scripts/demo.sh build/release "$@"
fi
echo "built: $(ls build/release/src/app build/release/sim 2>/dev/null | tr '\n' ' ')"
