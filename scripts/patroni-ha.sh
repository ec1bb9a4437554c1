#!/usr/bin/env bash
# Sourced by scripts/cluster.sh --ha and scripts/bench.sh: a primary and a
# synchronous standby on this machine, under two Patroni processes, and a third
# Raft member that holds no database (patroni_raft_controller), so that Patroni's
# built-in Raft (no etcd) keeps a majority, and promotes the standby, when the
# primary's whole node is lost, Patroni and all. As the postgres user, in a
# temporary folder, every port on 127.0.0.1 and free. Needs root, patroni and
# python3-pysyncobj.
#
#   qovi_ha_start   starts the three and waits for a leader and its synchronous
#                   standby; sets qovi_ha_url (both hosts, the writable one taken;
#                   the password in the exported PGPASSWORD), qovi_ha_dir (node NAME's
#                   data in qovi_ha_dir/NAME), qovi_ha_pids (the nodes' Patroni),
#                   qovi_ha_witness_pid (the third member), qovi_ha_rest (REST ports)
#                   and qovi_ha_pg (PostgreSQL ports). Returns 1, with the reason, on failure.
#   qovi_ha_stop    stops the three (each Patroni stops its PostgreSQL) and removes the folder.
#   qovi_ha_roles   prints "n0=leader n1=sync_standby" as Patroni sees it.

# shellcheck disable=SC2034 # set here, read by the scripts that source this one
qovi_ha_dir=
qovi_ha_url=
qovi_ha_pids=()
qovi_ha_witness_pid=
qovi_ha_rest=()
qovi_ha_pg=()
qovi_ha_taken=" "

# A free port of 127.0.0.1, not one handed out before.
qovi_ha_free_port() {
    local port
    while :; do
        port=$((20000 + RANDOM % 40000))
        [[ $qovi_ha_taken == *" $port "* ]] && continue
        ss -Hltn "sport = :$port" | grep -q . && continue
        qovi_ha_taken+="$port "
        echo "$port"
        return
    done
}

qovi_ha_roles() {
    /usr/bin/python3 - "${qovi_ha_rest[@]}" <<'PY' 2>/dev/null || true
import json, sys, urllib.request
for port in sys.argv[1:]:
    try:
        members = json.load(urllib.request.urlopen("http://127.0.0.1:%s/cluster" % port, timeout=2))["members"]
    except Exception:
        continue
    print(" ".join("%s=%s" % (m["name"], m["role"]) for m in members if m.get("state") == "running"))
    break
PY
}

qovi_ha_start() {
    if ! command -v patroni >/dev/null || ! /usr/bin/python3 -c 'import pysyncobj' 2>/dev/null; then
        echo "needs Patroni and its Raft (patroni, python3-pysyncobj): bash scripts/install-deps.sh --test" >&2
        return 1
    fi
    local here n m raft=() partners pid roles
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    qovi_ha_dir=$(mktemp -d /tmp/qovi-ha.XXXXXX)
    chown postgres: "$qovi_ha_dir"
    PGPASSWORD=$(head -c 24 /dev/urandom | base64 | tr -dc 'A-Za-z0-9')
    export PGPASSWORD
    for n in 0 1; do
        qovi_ha_pg+=("$(qovi_ha_free_port)")
        qovi_ha_rest+=("$(qovi_ha_free_port)")
        raft+=("$(qovi_ha_free_port)")
    done
    # The witness's Raft port, raft[2]: each member names the two others.
    raft+=("$(qovi_ha_free_port)")
    (bash "$here/patroni-node.sh" --raft-only "$qovi_ha_dir" witness "${raft[2]}" "${raft[0]},${raft[1]}" \
        >"$qovi_ha_dir/witness.yml") || return 1
    chown postgres: "$qovi_ha_dir/witness.yml"
    setpriv --reuid=postgres --regid=postgres --init-groups patroni_raft_controller "$qovi_ha_dir/witness.yml" \
        </dev/null >"$qovi_ha_dir/witness.log" 2>&1 &
    qovi_ha_witness_pid=$!
    for n in 0 1; do
        partners=
        for m in 0 1 2; do
            if [ "$m" -ne "$n" ]; then partners+="${partners:+,}${raft[m]}"; fi
        done
        # The configuration holds the password: the postgres user's alone.
        (umask 077 && bash "$here/patroni-node.sh" "$qovi_ha_dir" "n$n" "${qovi_ha_pg[n]}" "${qovi_ha_rest[n]}" \
            "${raft[n]}" "$partners" "$PGPASSWORD" >"$qovi_ha_dir/n$n.yml") || return 1
        chown postgres: "$qovi_ha_dir/n$n.yml"
        # Standard input on /dev/null, as a service has it: a backend left by its
        # postmaster's death reads it, and an open one would keep that backend,
        # and the connection of its client, for ever.
        setpriv --reuid=postgres --regid=postgres --init-groups patroni "$qovi_ha_dir/n$n.yml" \
            </dev/null >"$qovi_ha_dir/n$n.log" 2>&1 &
        qovi_ha_pids+=($!)
    done
    qovi_ha_url="postgresql://postgres@127.0.0.1:${qovi_ha_pg[0]},127.0.0.1:${qovi_ha_pg[1]}/postgres?target_session_attrs=read-write"
    for _ in $(seq 240); do
        roles=$(qovi_ha_roles)
        [[ $roles == *=leader* && $roles == *=sync_standby* ]] && return 0
        for pid in "${qovi_ha_pids[@]}" "$qovi_ha_witness_pid"; do
            kill -0 "$pid" 2>/dev/null || { echo "Patroni ended:" >&2; tail -n 20 "$qovi_ha_dir"/*.log >&2; return 1; }
        done
        sleep 0.5
    done
    echo "no leader with a synchronous standby in 2 minutes:" >&2
    tail -n 20 "$qovi_ha_dir"/*.log >&2
    return 1
}

qovi_ha_stop() {
    local pid
    for pid in "${qovi_ha_pids[@]}" $qovi_ha_witness_pid; do kill "$pid" 2>/dev/null || true; done
    for pid in "${qovi_ha_pids[@]}" $qovi_ha_witness_pid; do wait "$pid" 2>/dev/null || true; done
    qovi_ha_pids=()
    qovi_ha_witness_pid=
    [ -n "$qovi_ha_dir" ] && rm -rf "$qovi_ha_dir"
    qovi_ha_dir=
}
