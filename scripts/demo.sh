#!/usr/bin/env bash
# The demonstration: simulated device servers on two subnets, each subnet in a network
# namespace of its own, and tarnd in a third namespace joined to both by veth links. It shows
# the devices found by a search and a virtual serial port mapped to one of them, with no
# hardware and no traffic on the machine's own network. Everything it creates goes on exit.
#
#   scripts/demo.sh BUILD_DIR            run the demonstration, then clean up
#   scripts/demo.sh BUILD_DIR --keep     leave it running until Ctrl-C, to try it by hand
#
# Needs root (ip netns) and the programs tarn-devsim, tarnd and tarnctl of BUILD_DIR.
set -euo pipefail

usage() { echo "usage: $0 BUILD_DIR [--keep]" >&2; exit 2; }
[ $# -ge 1 ] || usage
build=$(cd "$1" && pwd) || usage
shift
keep=0
for arg in "$@"; do
    case "$arg" in
        --keep) keep=1 ;;
        *) usage ;;
    esac
done

devsim=$build/sim/tarn-devsim
tarnd=$build/src/app/tarnd
tarnctl=$build/src/app/tarnctl
for program in "$devsim" "$tarnd" "$tarnctl"; do
    [ -x "$program" ] || { echo "demo: $program is not built" >&2; exit 1; }
done
if [ "$(id -u)" -ne 0 ]; then
    echo "demo: needs root to create network namespaces (try: sudo $0 $build)" >&2
    exit 1
fi

source "$(dirname "$0")/demo-net.sh"
demo_net_up "$build"

say "Search: tarnctl search in the host namespace (UDP broadcast on both subnets)"
ip netns exec "$hostns" "$tarnctl" search | sed 's/^/  /'

say "Mapping: tarnd with COM5 as a TCP client of Press-Line-1 (10.77.1.10:4001)"
export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_CONFIG_HOME/tarn" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
# Stored before tarnd starts; with tarnd running, the same command would map it at once.
store_mapping "$tarnctl" tcp-client COM5 10.77.1.10 --remote 4001
ip netns exec "$hostns" "$tarnd" </dev/null >"$work/tarnd.log" 2>&1 &
pids+=($!)
wait_for "$work/tarnd.log" "device(s) searched." 30
sed 's/^/  tarnd: /' "$work/tarnd.log"

com=$XDG_RUNTIME_DIR/tarn/COM5
waited=0
until [ -e "$com" ]; do
    [ "$waited" -lt 150 ] || { echo "demo: $com did not appear" >&2; exit 1; }
    sleep 0.1
    waited=$((waited + 1))
done

say "Data: an application opens COM5; the bytes travel to the device and back"
# Raw, without echo: the port carries bytes, not a terminal session.
exec 3<>"$com"
stty -F "$com" raw -echo 9600
wait_for "$work/lan1.log" "data connected 10.77.1.1:" 15
message="hello from COM5 via tarnd"
printf '%s\n' "$message" >&3
IFS= read -r -t 10 reply <&3 || { echo "demo: no answer on COM5" >&2; exit 1; }
echo "  sent to COM5:      $message"
echo "  read back on COM5: $reply   (Press-Line-1 echoes its serial line)"
wait_for "$work/lan1.log" "control rx 01" 15
echo "  what Press-Line-1 saw (data connection, control connection with the port's settings):"
grep -E '^(data connected|control connected|control rx|control tx)' "$work/lan1.log" | head -n 6 | sed 's/^/    /'

say "Mappings while tarnd runs: tarnctl add, list, remove and log take effect at once"
added=$("$tarnctl" add udp auto 10.77.1.11 --local 4011 --remote 4001)
echo "  tarnctl add udp auto 10.77.1.11 --local 4011 --remote 4001: $added"
"$tarnctl" list | cut -c1-120 | sed 's/^/  /'
echo "  tarnctl remove COM5 while the application holds it open:"
if "$tarnctl" remove COM5 2>"$work/remove.err"; then
    echo "demo: COM5 was removed while open" >&2
    exit 1
fi
sed 's/^/    /' "$work/remove.err"
"$tarnctl" remove "${added%% *}" | sed 's/^/  /'
"$tarnctl" log | tail -n 3 | sed 's/^/  tarnctl log: /'
exec 3>&-

if [ "$keep" -eq 1 ]; then
    say "Running; Ctrl-C ends it and removes everything"
    echo "  COM5:            $com   (e.g. socat - $com,raw,echo=0)"
    echo "  tarnd log:       $work/tarnd.log"
    echo "  device logs:     $work/lan1.log $work/lan2.log"
    echo "  another search:  ip netns exec $hostns $tarnctl search"
    echo "  the mappings:    XDG_CONFIG_HOME=$XDG_CONFIG_HOME XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR $tarnctl list"
    wait "${pids[@]}" || true
fi

say "Done: stopping the programs and removing the namespaces"
