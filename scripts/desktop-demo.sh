#!/usr/bin/env bash
# The desktop demonstration: the tarn window on simulated device servers. Four devices on two
# subnets, each in a network namespace of its own, and tarn in a third namespace joined to
# both; two mappings are stored (COM5 to Press-Line-1, COM6 to a port that is closed, so it
# shows red while an application holds it open). The window runs as the invoking user on the
# current display; only the namespace set-up runs as root (through sudo when needed).
# Nothing touches the machine's own network; everything made here goes when the window exits.
#
#   scripts/desktop-demo.sh BUILD_DIR
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
tarn=$build/src/app/tarn
tarnctl=$build/src/app/tarnctl
for program in "$tarn" "$tarnctl"; do
    [ -x "$program" ] || { echo "desktop demo: $program is not built" >&2; exit 1; }
done
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "desktop demo: no display (DISPLAY or WAYLAND_DISPLAY); try scripts/demo.sh" >&2
    exit 1
fi

if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "desktop demo: needs root for the namespaces (sudo)" >&2; exit 1; }
    # The window's user and display go along; the program itself will run as this user.
    exec sudo TARN_DEMO_UID="$(id -u)" TARN_DEMO_GID="$(id -g)" TARN_DEMO_HOME="$HOME" \
        DISPLAY="${DISPLAY:-}" WAYLAND_DISPLAY="${WAYLAND_DISPLAY:-}" XAUTHORITY="${XAUTHORITY:-}" \
        TARN_DEMO_RUNTIME="${XDG_RUNTIME_DIR:-}" "$0" "$@"
fi
uid=${TARN_DEMO_UID:-${SUDO_UID:-0}}
gid=${TARN_DEMO_GID:-${SUDO_GID:-0}}
user_home=${TARN_DEMO_HOME:-$HOME}
wayland=${WAYLAND_DISPLAY:-}
# The port directory moves to the demonstration's folder: a Wayland socket named relative to
# the user's runtime folder must then be named in full.
if [ -n "$wayland" ] && [ "${wayland#/}" = "$wayland" ] && [ -n "${TARN_DEMO_RUNTIME:-}" ]; then
    wayland=$TARN_DEMO_RUNTIME/$wayland
fi

source "$(dirname "$0")/demo-net.sh"
demo_net_up "$build"

config=$work/config
runtime=$work/run
mkdir -p "$config/tarn" "$runtime"
# Stored as root before the window starts; everything made goes to the window's user below.
XDG_CONFIG_HOME=$config XDG_RUNTIME_DIR=$runtime store_mapping "$tarnctl" tcp-client COM5 10.77.1.10 --remote 4001
XDG_CONFIG_HOME=$config XDG_RUNTIME_DIR=$runtime store_mapping "$tarnctl" tcp-client COM6 10.77.2.10 --remote 4009
chown -R "$uid:$gid" "$config" "$runtime"
chmod 700 "$runtime"
chmod 755 "$work"

say "tarn: the window on this display, as user $uid, in $hostns"
echo "  COM5 and COM6 appear as $runtime/tarn/COM5 and COM6; open one as an application would:"
echo "    socat - $runtime/tarn/COM5,raw,echo=0      (Press-Line-1 echoes what you type)"
echo "  Search, web page, remove and exit are on the window's tool bars. Exit (or Ctrl-C here) ends"
echo "  the demonstration and removes its namespaces."
# A clean environment: only what the window needs, and no empty display variable that would
# send Qt looking for a display that is not there.
environment=(PATH=/usr/bin:/bin HOME="$user_home" XDG_CONFIG_HOME="$config" XDG_RUNTIME_DIR="$runtime")
[ -n "${DISPLAY:-}" ] && environment+=(DISPLAY="$DISPLAY")
[ -n "$wayland" ] && environment+=(WAYLAND_DISPLAY="$wayland")
[ -n "${XAUTHORITY:-}" ] && environment+=(XAUTHORITY="$XAUTHORITY")
ip netns exec "$hostns" setpriv --reuid="$uid" --regid="$gid" --init-groups env -i "${environment[@]}" "$tarn" &
pids+=($!)
wait "${pids[-1]}" || true
