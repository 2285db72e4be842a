#!/usr/bin/env bash
# Builds the programs for /usr (Release, no tests) and makes the Debian package tarn_<version>_<arch>.deb.
#   scripts/package.sh [BUILD_DIR]     default build/package; the .deb is left in BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/package}
gen=(); command -v ninja >/dev/null && gen=(-G Ninja)
cmake -S . -B "$dir" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTARN_BUILD_TESTS=OFF -DTARN_WERROR=ON >/dev/null
cmake --build "$dir" -j"$(nproc)"
(cd "$dir" && cpack -G DEB)
ls "$dir"/tarn_*.deb
