#!/usr/bin/env bash
# Builds the programs (not the test suite) and shows them on simulated device servers in
# network namespaces of their own: the tarn window when a display is available, else the
# headless demonstration with tarnd. Nothing touches the machine's own network.
set -euo pipefail
cd "$(dirname "$0")/.."
gen=(); command -v ninja >/dev/null && gen=(-G Ninja)
cmake -S . -B build/release "${gen[@]}" >/dev/null
targets=(tarnd tarnctl tarn-devsim)
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    cmake --build build/release -j"$(nproc)" --target tarn "${targets[@]}"
    exec scripts/desktop-demo.sh build/release "$@"
fi
cmake --build build/release -j"$(nproc)" --target "${targets[@]}"
if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null; then
    exec sudo scripts/demo.sh build/release "$@"
fi
exec scripts/demo.sh build/release "$@"
