#!/usr/bin/env bash
# Installs the Debian 12 packages QoVi$ needs; skips apt entirely when they are there.
#
#   install-deps.sh            what building and running need (the README's run command)
#   install-deps.sh --test     that, and what the test suite, the sanitizers, the fuzzers
#                              and the benchmarks add (the README's test command)
#   install-deps.sh --tunnel   that, and what the encrypted tunnel needs (scripts/tunnel.sh)
#
# PostgreSQL is installed for the tests only, and without the cluster that Debian
# would otherwise create and start at every boot: the tests start a private one.
set -euo pipefail

# Building and running: the compiler, Qt with its SQL drivers (SQLite by default,
# PostgreSQL for several servers), Asio for the server, and a virtual display
# for a machine without one (Xvfb, which the run command starts itself).
packages=(
    g++ cmake ninja-build pkg-config
    qtbase5-dev libqt5sql5-sqlite libqt5sql5-psql libsqlite3-dev libpq-dev libasio-dev
    xvfb xauth
)
tunnel=(stunnel4 openssl)
tests=(
    xdotool x11-utils iproute2 util-linux procps python3
    postgresql
    # test tools: HAProxy in front of several servers (the cluster demo and its test)
    haproxy
    # the high-availability demo and its test: Patroni with its built-in Raft (no etcd)
    patroni python3-pysyncobj
    clang-14 libclang-rt-14-dev
    libbenchmark-dev libxcb1-dev
    desktop-file-utils dpkg-dev file
    fail2ban
    "${tunnel[@]}"
)

for argument in "$@"; do
    case $argument in
    --test) packages+=("${tests[@]}") ;;
    --tunnel) packages+=("${tunnel[@]}") ;;
    *) echo "usage: bash scripts/install-deps.sh [--test] [--tunnel]" >&2; exit 2 ;;
    esac
done

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "QoVi\$ needs these Debian packages, please install them as root: ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
install() { apt-get install -y -q --no-install-recommends "$@"; }

# The clusters there before, so that only one this script made is removed.
clusters() { { find /etc/postgresql -mindepth 2 -maxdepth 2 -type d 2>/dev/null || true; } | sort; }
installingPostgres=false
case " ${missing[*]} " in *" postgresql "*) installingPostgres=true ;; esac
before=$(clusters)
if $installingPostgres && ! installed postgresql-common; then
    # Set before the server package is configured, which is when Debian creates
    # its "main" cluster; a cluster made later by hand is not affected.
    install postgresql-common
    pg_conftool /etc/postgresql-common/createcluster.conf set create_main_cluster off
fi

install "${missing[@]}"

if $installingPostgres; then
    for cluster in $(comm -13 <(echo "$before") <(clusters)); do
        version=$(basename "$(dirname "$cluster")")
        echo "install-deps: removing the PostgreSQL cluster $version/$(basename "$cluster") made by this install" >&2
        pg_dropcluster --stop "$version" "$(basename "$cluster")"
    done
fi
# fail2ban (for its fail2ban-regex: tst_journal checks the shipped filter), HAProxy and
# Patroni (the tests and scripts/cluster.sh start their own) are test tools here: no
# daemon of theirs runs, now or at boot.
for daemon in fail2ban haproxy patroni; do
    [[ " ${missing[*]} " == *" $daemon "* ]] && command -v systemctl >/dev/null || continue
    if [ -d /run/systemd/system ]; then
        systemctl disable --now "$daemon.service" >/dev/null 2>&1 || true
    else
        systemctl disable "$daemon.service" >/dev/null 2>&1 || true
    fi
done
