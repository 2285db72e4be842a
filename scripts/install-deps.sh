#!/usr/bin/env bash
# Installs every Debian package that building, testing and the demonstration need.
set -euo pipefail
pkgs=(
    build-essential cmake pkg-config ninja-build clang-format
    libgtest-dev libgmock-dev libbenchmark-dev
    libpcap-dev libpugixml-dev
    qt6-base-dev libqt6svg6
    iproute2 socat procps util-linux xvfb
    dpkg-dev man-db groff-base
    python3-serial ser2net
    clang libclang-rt-14-dev
)
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
