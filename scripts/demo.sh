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
command -v ip >/dev/null || { echo "demo: needs iproute2 (ip)" >&2; exit 1; }

# Names unique to this run, so two runs never meet; interface names stay within 15 characters.
tag=$$
hostns=tarn-demo-host-$tag
dev1ns=tarn-demo-lan1-$tag
dev2ns=tarn-demo-lan2-$tag
work=$(mktemp -d /tmp/tarn-demo-XXXXXX)
pids=()

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    for ns in "$hostns" "$dev1ns" "$dev2ns"; do
        ip netns del "$ns" 2>/dev/null || true
    done
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# Waits up to $3 seconds for a line containing $2 in file $1.
wait_for() {
    local file=$1 text=$2 limit=${3:-15} waited=0
    until grep -qF -- "$text" "$file" 2>/dev/null; do
        if [ "$waited" -ge $((limit * 10)) ]; then
            echo "demo: gave up waiting for '$text' in $file:" >&2
            sed 's/^/    /' "$file" >&2 || true
            return 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
}

say "Network: namespaces and veth links (nothing touches this machine's own network)"
for ns in "$hostns" "$dev1ns" "$dev2ns"; do
    ip netns add "$ns"
    ip -n "$ns" link set lo up
done
# host 10.77.1.1 <-> LAN 1 (10.77.1.0/24), host 10.77.2.1 <-> LAN 2 (10.77.2.0/24)
ip link add "td${tag}h1" netns "$hostns" type veth peer name "td${tag}d1" netns "$dev1ns"
ip link add "td${tag}h2" netns "$hostns" type veth peer name "td${tag}d2" netns "$dev2ns"
ip -n "$hostns" addr add 10.77.1.1/24 dev "td${tag}h1"
ip -n "$hostns" addr add 10.77.2.1/24 dev "td${tag}h2"
ip -n "$dev1ns" addr add 10.77.1.10/24 dev "td${tag}d1"
ip -n "$dev1ns" addr add 10.77.1.11/24 dev "td${tag}d1"
ip -n "$dev2ns" addr add 10.77.2.10/24 dev "td${tag}d2"
ip -n "$dev2ns" addr add 10.77.2.11/24 dev "td${tag}d2"
for link in "$hostns td${tag}h1" "$hostns td${tag}h2" "$dev1ns td${tag}d1" "$dev2ns td${tag}d2"; do
    set -- $link
    ip -n "$1" link set "$2" up
done
echo "  $hostns: tarnd and tarnctl, 10.77.1.1/24 and 10.77.2.1/24"
echo "  $dev1ns: device servers 10.77.1.10 and 10.77.1.11"
echo "  $dev2ns: device servers 10.77.2.10 and 10.77.2.11"

say "Device servers: tarn-devsim in each LAN namespace"
ip netns exec "$dev1ns" "$devsim" \
    --device ip=10.77.1.10,mac=02:00:00:00:01:10,id=110,name=Press-Line-1,project=Plant-North,mode=tcp-server,data-port=4001,control-port=4002 \
    --device ip=10.77.1.11,mac=02:00:00:00:01:11,id=111,name=Scale-Line-1,project=Plant-North,mode=udp,data-port=4001 \
    </dev/null >"$work/lan1.log" 2>&1 &
pids+=($!)
ip netns exec "$dev2ns" "$devsim" \
    --device ip=10.77.2.10,mac=02:00:00:00:02:10,id=210,name=Press-Line-2,project=Plant-South,mode=tcp-server,data-port=4001,control-port=4002,eeprom="$work/press2.eeprom" \
    --device ip=10.77.2.11,mac=02:00:00:00:02:11,id=211,name=Labeler-2,project=Plant-South,mode=tcp-client,remote=10.77.2.1:5001 \
    </dev/null >"$work/lan2.log" 2>&1 &
pids+=($!)
wait_for "$work/lan1.log" "devsim ready"
wait_for "$work/lan2.log" "devsim ready"
grep '^device ' "$work/lan1.log" "$work/lan2.log" | sed 's/^[^:]*:/  /'

say "Search: tarnctl search in the host namespace (UDP broadcast on both subnets)"
ip netns exec "$hostns" "$tarnctl" search | sed 's/^/  /'

say "Mapping: tarnd with COM5 as a TCP client of Press-Line-1 (10.77.1.10:4001)"
export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_CONFIG_HOME/tarn" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
# One 112-byte record: COM number 5, mode 2 (TCP client), the peer's address as text padded
# to 100 bytes, local port 0, remote port 4001; integers little-endian.
{
    printf '\x05\x00\x00\x00\x02\x00\x00\x00'
    printf '10.77.1.10'
    head -c 90 /dev/zero
    printf '\x00\x00\xa1\x0f'
} >"$XDG_CONFIG_HOME/tarn/79828669767684658278"
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
exec 3>&-

if [ "$keep" -eq 1 ]; then
    say "Running; Ctrl-C ends it and removes everything"
    echo "  COM5:            $com   (e.g. socat - $com,raw,echo=0)"
    echo "  tarnd log:       $work/tarnd.log"
    echo "  device logs:     $work/lan1.log $work/lan2.log"
    echo "  another search:  ip netns exec $hostns $tarnctl search"
    wait "${pids[@]}" || true
fi

say "Done: stopping the programs and removing the namespaces"
