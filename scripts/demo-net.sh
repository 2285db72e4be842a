# Shared by the demonstrations and the screenshots (sourced, not run): simulated device
# servers on two subnets, each subnet in a network namespace of its own, and a host namespace
# joined to both by veth links, for tarn or tarnd. Nothing touches the machine's own network.
# Everything made here goes in demo_net_cleanup.
#
# After demo_net_up: $hostns, $dev1ns, $dev2ns, $work (a private folder), $devsim.

tag=$$
hostns=tarn-demo-host-$tag
dev1ns=tarn-demo-lan1-$tag
dev2ns=tarn-demo-lan2-$tag
work=$(mktemp -d /tmp/tarn-demo-XXXXXX)
pids=()

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

demo_net_cleanup() {
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
}

demo_net_on_exit() {
    local status=$?
    trap - EXIT INT TERM
    demo_net_cleanup
    exit "$status"
}

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

# Stores one mapping in the mapping file of the current XDG_CONFIG_HOME, before the program
# starts: $1 is tarnctl, the rest its add arguments (tarnctl add checks them as the window's add
# dialog does).
store_mapping() {
    local tarnctl=$1
    shift
    "$tarnctl" add "$@" | sed 's/^/  /'
}

# $1: the build folder. From here on, the end of the script removes everything.
demo_net_up() {
    trap demo_net_on_exit EXIT
    trap 'exit 130' INT TERM
    devsim=$1/sim/tarn-devsim
    [ -x "$devsim" ] || { echo "demo: $devsim is not built" >&2; return 1; }
    if [ "$(id -u)" -ne 0 ]; then
        echo "demo: needs root to create network namespaces" >&2
        return 1
    fi
    command -v ip >/dev/null || { echo "demo: needs iproute2 (ip)" >&2; return 1; }

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
    local link
    for link in "$hostns td${tag}h1" "$hostns td${tag}h2" "$dev1ns td${tag}d1" "$dev2ns td${tag}d2"; do
        set -- $link
        ip -n "$1" link set "$2" up
    done
    echo "  $hostns: the program, 10.77.1.1/24 and 10.77.2.1/24"
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
}
