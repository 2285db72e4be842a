#!/usr/bin/env bash
# Renders the desktop program's views into docs/ from the real program: four simulated
# device servers in their own namespaces, two mappings (COM5 connected to Press-Line-1, COM6
# pointing at a closed port, so it shows red) and COM5's port monitor while requests go to
# its echoing device, on Qt's offscreen platform.
#
#   scripts/screenshots.sh BUILD_DIR [OUT_DIR]      (needs root for the namespaces)
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [OUT_DIR]" >&2; exit 2; }
build=$(cd "$1" && pwd)
out=$(mkdir -p "${2:-$(dirname "$0")/../docs}" && cd "${2:-$(dirname "$0")/../docs}" && pwd)
shots=$build/tools/tarn-screenshots
tarnctl=$build/src/app/tarnctl
for program in "$shots" "$tarnctl"; do
    [ -x "$program" ] || { echo "screenshots: $program is not built" >&2; exit 1; }
done

source "$(dirname "$0")/demo-net.sh"
demo_net_up "$build"

export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_CONFIG_HOME/tarn" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
store_mapping "$tarnctl" tcp-client COM5 10.77.1.10 --remote 4001
store_mapping "$tarnctl" tcp-client COM6 10.77.2.10 --remote 4009

say "Screenshots: tarn on the offscreen platform in $hostns"
ip netns exec "$hostns" env QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" \
    "$shots" "$out" --open COM5 --open COM6 --wait-connected COM5 --monitor COM5 "${@:3}"
