#!/usr/bin/env bash
# Tries a transfer between two accounts on one machine. An account number comes
# from the machine's hardware address, so the second client runs in a private
# network namespace whose only interface carries an address of its own. Both
# clients reach one qovi-server on the link between the two (type 10.231.64.1 as
# the server address in both windows). Needs root and a display.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
[ "$(id -u)" -eq 0 ] || { echo "two-accounts.sh needs root (it creates a network namespace)" >&2; exit 1; }

namespace=qovi-second
host_if=qovi-host
peer_if=qovi-peer
server_address=10.231.64.1
data="${XDG_DATA_HOME:-$HOME/.local/share}/qovi"
second="$data/second-account"
mkdir -p "$data" "$second"
chmod 700 "$data" "$second"
cp -f "$root/window/coin.jpg" "$data/coin.jpg"
cp -f "$root/window/coin.jpg" "$second/coin.jpg"

pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    ip link delete "$host_if" 2>/dev/null || true
    ip netns delete "$namespace" 2>/dev/null || true
}
trap cleanup EXIT

ip netns add "$namespace"
ip link add "$host_if" type veth peer name "$peer_if"
ip link set "$peer_if" netns "$namespace"
ip netns exec "$namespace" ip link set "$peer_if" address 02:51:0e:00:00:02
ip addr add "$server_address/30" dev "$host_if"
ip link set "$host_if" up
ip netns exec "$namespace" ip addr add 10.231.64.2/30 dev "$peer_if"
ip netns exec "$namespace" ip link set "$peer_if" up
ip netns exec "$namespace" ip link set lo up

"$root/build/qovi-server" --listen "$server_address" --database "$data/server.sqlite" &
pids+=($!)

(cd "$data" && exec "$root/build/qovi-client") &
pids+=($!)
# Its own IPC namespace too: one client per machine is the rule the guard enforces.
(cd "$second" && QT_X11_NO_MITSHM=1 exec ip netns exec "$namespace" unshare --ipc "$root/build/qovi-client") &
pids+=($!)

echo "Type $server_address as the server address in both windows, then press Connection."
echo "Money enters with: $root/build/qovi-server credit ACCOUNT AMOUNT --database $data/server.sqlite"
wait "${pids[1]}" "${pids[2]}" || true
