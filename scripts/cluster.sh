#!/usr/bin/env bash
# QoVi$ as one service on several servers, all on this machine: a private
# PostgreSQL cluster, three qovi-server processes on it (127.0.0.1, free ports)
# and HAProxy on 127.0.0.1:50885 with packaging/haproxy/qovi-server.cfg, so that
# `bash scripts/run.sh` connects through it. Runs in the foreground; Ctrl-C
# stops all it started, and the database with it (it lives in /tmp).
# Needs root (PostgreSQL runs as its own user).
#
#   cluster.sh         one PostgreSQL
#   cluster.sh --ha    a primary and a synchronous standby under Patroni (its
#                      built-in Raft, with a third member that holds no
#                      database), the servers given both in one URL: kill the
#                      primary, or its whole node, and the standby takes over,
#                      with every confirmed transfer (the README's cluster section)
set -euo pipefail
ha=false
case "${1:-}" in
--ha) ha=true ;;
"") ;;
*) echo "usage: bash scripts/cluster.sh [--ha]" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" >/dev/null
[ "$(id -u)" -eq 0 ] || { echo "cluster.sh needs root (PostgreSQL runs as the postgres user)" >&2; exit 1; }

front=50885
listening() { ss -Hltn "sport = :$1" | grep -q .; }
if listening "$front"; then
    echo "something already listens on 127.0.0.1:$front: stop it first" >&2
    exit 1
fi

work=$(mktemp -d /tmp/qovi-cluster.XXXXXX)
server_pids=()
haproxy_pid=
# shellcheck source=postgres-test.sh
source "$root/scripts/postgres-test.sh"
# shellcheck source=patroni-ha.sh
source "$root/scripts/patroni-ha.sh"
stop_all() {
    trap - EXIT INT TERM HUP
    local pid
    for pid in $haproxy_pid "${server_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in $haproxy_pid "${server_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    if $ha; then qovi_ha_stop; else qovi_pg_stop; fi
    rm -rf "$work"
    echo "cluster stopped"
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

if $ha; then
    qovi_ha_start || exit 1
    url=$qovi_ha_url
else
    # A durable cluster (fsync on), unlike the tests' one; never one named by the environment.
    unset QOVI_TEST_PG_URL
    qovi_pg_fsync=on
    qovi_pg_start
    url=${QOVI_TEST_PG_URL:-}
    [ -n "$url" ] || { echo "cluster.sh: PostgreSQL did not start (see above)" >&2; exit 1; }
    # The password goes to libpq through the environment, where ps does not show it.
    credentials=${url#postgresql://}
    credentials=${credentials%%@*}
    export PGPASSWORD=${credentials#*:}
    url="postgresql://${credentials%%:*}@${url#*@}"
fi

# HAProxy names each client in a PROXY protocol header (send-proxy-v2): the
# servers trust it from HAProxy's address only, and count real clients. New
# accounts are counted per client address for the whole service (in the
# database): every server has the same limit, the README's.
# Each server's endpoint for operators (health, metrics) on a port of its
# own: HAProxy's health check asks it whether the server can serve.
ports=()
monitor_ports=()
for i in 1 2 3; do
    "$root/build/qovi-server" --port 0 --database "$url" --proxy-from 127.0.0.1 \
        --new-accounts-per-minute 10 --monitor-port 0 \
        >"$work/server$i.out" 2>"$work/server$i.log" &
    server_pids+=($!)
    port=
    for _ in $(seq 300); do
        port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server$i.out")
        [ -n "$port" ] && grep -q '^monitoring on' "$work/server$i.out" && break
        kill -0 "${server_pids[-1]}" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$port" ] || { echo "qovi-server $i did not start:" >&2; tail -n 20 "$work/server$i.log" >&2; exit 1; }
    ports+=("$port")
    monitor_ports+=("$(sed -n 's/^monitoring on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server$i.out")")
done

# The shipped configuration with these servers' ports (and monitor ports) in its server lines.
awk -v ports="${ports[*]}" -v monitor_ports="${monitor_ports[*]}" '
    BEGIN { split(ports, port, " "); split(monitor_ports, monitor, " ") }
    match($0, /^[ \t]*server qovi[0-9]+ /) {
        n = substr($0, RSTART, RLENGTH); sub(/^[ \t]*server qovi/, "", n); n += 0
        if (n in port) { sub(/127\.0\.0\.1:[0-9]+/, "127.0.0.1:" port[n]); sub(/check port [0-9]+/, "check port " monitor[n]) } else next
    }
    { print }' "$root/packaging/haproxy/qovi-server.cfg" >"$work/haproxy.cfg"
haproxy -c -q -f "$work/haproxy.cfg" || { echo "the HAProxy configuration does not check" >&2; exit 1; }
haproxy -db -f "$work/haproxy.cfg" >"$work/haproxy.log" 2>&1 &
haproxy_pid=$!
for _ in $(seq 100); do
    listening "$front" && break
    kill -0 "$haproxy_pid" 2>/dev/null || { echo "HAProxy did not start:" >&2; cat "$work/haproxy.log" >&2; exit 1; }
    sleep 0.1
done

if $ha; then
    database="PostgreSQL   $url
               a primary and a synchronous standby under Patroni (pids ${qovi_ha_pids[*]}, data in $qovi_ha_dir),
               a third Raft member without a database (patroni_raft_controller, pid $qovi_ha_witness_pid)
               roles: patronictl -c $qovi_ha_dir/n0.yml list
               the primary lost: kill -9 \$(head -n 1 $qovi_ha_dir/NODE/postmaster.pid) for the leader's NODE
               its whole node lost: the same with its Patroni's pid and the postmaster's children"
else
    database="PostgreSQL   $url (pid $qovi_pg_pid, fsync on, data in $qovi_pg_dir)"
fi
cat <<INFO
QoVi\$ runs as one service on this machine:
  $database
  qovi-server  127.0.0.1:${ports[0]} (pid ${server_pids[0]}), 127.0.0.1:${ports[1]} (pid ${server_pids[1]}), 127.0.0.1:${ports[2]} (pid ${server_pids[2]})
               logs: $work/server1.log, server2.log, server3.log
               health and metrics: http://127.0.0.1:${monitor_ports[0]}/health, :${monitor_ports[1]}, :${monitor_ports[2]} (/metrics)
  HAProxy      127.0.0.1:$front (pid $haproxy_pid), configuration $work/haproxy.cfg, log $work/haproxy.log

Clients connect to 127.0.0.1 port $front: bash scripts/run.sh
The password of the database is in PGPASSWORD: export PGPASSWORD='$PGPASSWORD' before these.
Credit an account:  $root/build/qovi-server credit ACCOUNT AMOUNT --database '$url'
Balances:           $root/build/qovi-server accounts --database '$url'
A server dying:     kill -9 PID of one qovi-server; its clients press "Connection" again.
Ctrl-C stops everything (the database is thrown away).
INFO
wait "$haproxy_pid" || true
echo "HAProxy ended; see $work/haproxy.log" >&2
cat "$work/haproxy.log" >&2 || true
