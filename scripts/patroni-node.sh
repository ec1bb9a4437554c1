#!/usr/bin/env bash
# Writes the Patroni configuration of one member of the one-machine high-availability
# demo (scripts/cluster.sh --ha, tests/tst_bascule): a PostgreSQL node listening on
# 127.0.0.1 only, its REST API and its Raft member (Patroni's built-in consensus,
# python3-pysyncobj, so that no etcd is needed), with a synchronous standby; or,
# with --raft-only, a Raft member that holds no database (for patroni_raft_controller),
# so that the two nodes' members are not all there is to make a majority.
#
#   patroni-node.sh DIR NAME PG_PORT REST_PORT RAFT_PORT PARTNER_RAFT_PORTS PASSWORD > NAME.yml
#   patroni-node.sh --raft-only DIR NAME RAFT_PORT PARTNER_RAFT_PORTS > NAME.yml
#
# PARTNER_RAFT_PORTS: the Raft ports of every other member, separated by commas.
# DIR holds the node's data (DIR/NAME) and Raft state (DIR/raft-NAME); it must
# belong to the user that runs Patroni. PASSWORD is the superuser's and the
# replication user's.
set -euo pipefail
usage() {
    echo "usage: patroni-node.sh DIR NAME PG_PORT REST_PORT RAFT_PORT PARTNER_RAFT_PORTS PASSWORD" >&2
    echo "       patroni-node.sh --raft-only DIR NAME RAFT_PORT PARTNER_RAFT_PORTS" >&2
    exit 2
}
check_port() {
    if ! [[ $1 =~ ^[0-9]{1,5}$ ]] || [ "$1" -lt 1 ] || [ "$1" -gt 65535 ]; then
        echo "patroni-node.sh: not a port: $1" >&2
        usage
    fi
}

raft_only=false
if [ "${1:-}" = --raft-only ]; then
    raft_only=true
    shift
    [ $# -eq 4 ] || usage
    dir=$1 name=$2 raft=$3 partner_ports=$4
else
    [ $# -eq 7 ] || usage
    dir=$1 name=$2 pg=$3 rest=$4 raft=$5 partner_ports=$6 password=$7
    check_port "$pg"
    check_port "$rest"
fi
check_port "$raft"
# Checked before anything is written: a half-written configuration is no use.
IFS=, read -r -a partners <<<"$partner_ports"
[ ${#partners[@]} -gt 0 ] || usage
partner_addrs=
for partner in "${partners[@]}"; do
    check_port "$partner"
    partner_addrs+="${partner_addrs:+, }'127.0.0.1:$partner'"
done

cat <<YAML
scope: qovi-ha
name: $name
raft:
  data_dir: $dir/raft-$name
  self_addr: 127.0.0.1:$raft
  partner_addrs: [$partner_addrs]
YAML
$raft_only && exit 0

bin=$(find /usr/lib/postgresql -mindepth 2 -maxdepth 2 -name bin -type d 2>/dev/null | sort -V | tail -n 1)
cat <<YAML
restapi:
  listen: 127.0.0.1:$rest
  connect_address: 127.0.0.1:$rest
bootstrap:
  dcs:
    # Short, for a demo on one machine: a lost leader is noticed within seconds.
    ttl: 12
    loop_wait: 1
    retry_timeout: 5
    # A crashed primary is not restarted where it was: the standby takes over.
    primary_start_timeout: 0
    maximum_lag_on_failover: 1048576
    # A commit waits for the standby: a confirmed transfer is on both machines.
    synchronous_mode: true
    postgresql:
      use_pg_rewind: true
      parameters:
        synchronous_commit: 'on'
        wal_level: replica
        hot_standby: 'on'
        max_wal_senders: 5
        max_replication_slots: 5
        wal_log_hints: 'on'
  initdb:
    - encoding: UTF8
    - auth-local: peer
    - auth-host: scram-sha-256
  pg_hba:
    - local all all peer
    - host replication replicator 127.0.0.1/32 scram-sha-256
    - host all all 127.0.0.1/32 scram-sha-256
postgresql:
  listen: 127.0.0.1:$pg
  connect_address: 127.0.0.1:$pg
  data_dir: $dir/$name
  bin_dir: $bin
  pgpass: $dir/pgpass-$name
  authentication:
    superuser:
      username: postgres
      password: '$password'
    replication:
      username: replicator
      password: '$password'
    rewind:
      username: postgres
      password: '$password'
  parameters:
    unix_socket_directories: '$dir'
tags:
  nofailover: false
  noloadbalance: false
  clonefrom: false
  nosync: false
YAML
