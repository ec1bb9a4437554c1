#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/) and runs them all, each
# figure beside a baseline measured in the same run, as one table.
# Not part of the test suite. Needs root for `unshare --ipc` (as the other scripts).
#
# --quick (or QOVI_BENCH_QUICK=1, exported to every benchmark): a few seconds per
# figure and fewer runs, to check that everything still runs (CI); the figures
# are only indicative. Either way, a benchmark that fails to run fails the script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
for argument in "$@"; do
    case $argument in
    --quick) QOVI_BENCH_QUICK=1 ;;
    *) echo "usage: bash scripts/bench.sh [--quick]" >&2; exit 2 ;;
    esac
done
export QOVI_BENCH_QUICK=${QOVI_BENCH_QUICK:-0}
"$root/scripts/install-deps.sh" --test

dir="$root/build-bench"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DQOVI_BENCH=ON -DQOVI_WERROR=ON >/dev/null
cmake --build "$dir" --parallel "$(nproc)" >/dev/null

work=$(mktemp -d)
xvfb=
# shellcheck source=postgres-test.sh
source "$root/scripts/postgres-test.sh"
cleanup() {
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    qovi_pg_stop
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work"
log="$work/bench.log"

# A private display: the only windows on it are the ones being timed.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>>"$log" &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
display=":$(cat "$work/display")"

run() {
    "$@" 2>>"$log" || { echo "failed: $*" >&2; tail -n 20 "$log" >&2; exit 1; }
}

echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -n1), $(nproc) cores, Linux $(uname -r)"
echo "Command: bash scripts/bench.sh$([ "$QOVI_BENCH_QUICK" = 1 ] && echo " --quick")"
echo
echo "| Figure | Value | Baseline | Baseline value | Ratio |"
echo "|---|---|---|---|---|"

# Start-up: both programs from the same folder (with the window's icon file),
# each in an IPC namespace of its own so no single-instance object survives a run.
mkdir "$work/demarrage"
cp "$root/window/coin.jpg" "$work/demarrage/"
(cd "$work/demarrage" && DISPLAY=$display QT_X11_NO_MITSHM=1 QT_QPA_PLATFORM=xcb \
    run "$dir/bench/bench_demarrage" "${QOVI_BENCH_RUNS:-11}" unshare --ipc "$dir/qovi-client" \
    -- unshare --ipc "$dir/bench/bench_fenetre_vide")

# Start-up with a long history against the same client with none: the history
# file is written under every hardware address of the machine, so that it is
# the one the client reads whatever interface names its account.
historique() { # records folder
    mkdir "$2"
    cp "$root/window/coin.jpg" "$2/"
    awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++)
        printf "2016-05-03 14-12-41-received-%d-from-1F2E3D4C5B6A\n", i % 1000 + 1 }' >"$2/modele.log"
    for adresse in /sys/class/net/*/address; do
        compte=$(tr -d ':\n' <"$adresse" | tr 'a-f' 'A-F')
        [ "${#compte}" = 12 ] && cp "$2/modele.log" "$2/$compte.log"
    done
    rm "$2/modele.log"
}
for records in 100000 300000; do
    historique "$records" "$work/historique$records"
    DISPLAY=$display QT_X11_NO_MITSHM=1 QT_QPA_PLATFORM=xcb \
        QOVI_BENCH_NOM="\`qovi-client\` with $records history records" \
        QOVI_BENCH_NOM_BASE="\`qovi-client\` with no history" \
        run "$dir/bench/bench_demarrage" "${QOVI_BENCH_RUNS:-11}" \
        env -C "$work/historique$records" unshare --ipc "$dir/qovi-client" \
        -- env -C "$work/demarrage" unshare --ipc "$dir/qovi-client"
done

run "$dir/bench/bench_codec" --benchmark_min_time=0.5 --benchmark_repetitions=3
run "$dir/bench/bench_mesures" --benchmark_min_time=0.5 --benchmark_repetitions=3

# The client's memory after a flood of replies: 20,000 and 1,000,000 (100,000 in quick mode).
(cd "$work" && QT_QPA_PLATFORM=offscreen run "$dir/bench/bench_reponses" 20000 3)
if [ "${QOVI_BENCH_QUICK:-0}" = 1 ]; then
    (cd "$work" && QT_QPA_PLATFORM=offscreen run "$dir/bench/bench_reponses" 100000 1)
else
    (cd "$work" && QT_QPA_PLATFORM=offscreen run "$dir/bench/bench_reponses" 100000 3)
    (cd "$work" && QT_QPA_PLATFORM=offscreen run "$dir/bench/bench_reponses" 1000000 1)
fi

# The real server on loopback. Idle connections held: 10,000 (1000 in quick mode);
# QOVI_BENCH_CONNEXIONS="1000 10000" for several levels.
[ -x "$dir/bench/bench_serveur" ] || { echo "failed: bench_serveur was not built (is libasio-dev installed?)" >&2; exit 1; }
if [ "$QOVI_BENCH_QUICK" = 1 ]; then secondes=1 connexions=1000; else secondes=3 connexions=10000; fi
# shellcheck disable=SC2086
(cd "$work" && run "$dir/bench/bench_serveur" "$dir/qovi-server" "$secondes" ${QOVI_BENCH_CONNEXIONS:-$connexions})

# Logins under attack (wrong keys from the owner's address, directly and behind
# HAProxy; guesses from 600 addresses; idle connections behind HAProxy), each
# against the same logins on the idle service; HAProxy with the shipped configuration.
[ -x "$dir/bench/bench_attaques" ] || { echo "failed: bench_attaques was not built (is libasio-dev installed?)" >&2; exit 1; }
(cd "$work" && run "$dir/bench/bench_attaques" "$dir/qovi-server" "$root/packaging/haproxy/qovi-server.cfg")

# The server on PostgreSQL against pgbench on one private cluster (the test cluster's settings, fsync=off,
# and room for 100 pgbench clients beside 4 servers). QOVI_BENCH_AVANT=PATH: the same loads on another
# server program too (an older build), in alternation, for before/after figures.
[ -x "$dir/bench/bench_postgres" ] || { echo "failed: bench_postgres was not built" >&2; exit 1; }
(
    unset QOVI_TEST_PG_URL
    export QOVI_PG_OPTIONS="-c max_connections=300"
    trap qovi_pg_stop EXIT
    qovi_pg_start
    [ -n "${QOVI_TEST_PG_URL:-}" ] || { echo "failed: no PostgreSQL cluster for bench_postgres" >&2; exit 1; }
    pgbench=$(find /usr/lib/postgresql -maxdepth 3 -name pgbench -type f 2>/dev/null | sort -V | tail -n 1)
    cd "$work" && QOVI_PGBENCH=${pgbench:-pgbench} run "$dir/bench/bench_postgres" "$dir/qovi-server" \
        "$QOVI_TEST_PG_URL" "$secondes" ${QOVI_BENCH_AVANT:-}
)

# Several servers on one PostgreSQL database: the time a received transfer takes
# to reach a recipient on another server, against one on the sender's server.
# A private cluster with fsync on, as a deployment would run it.
[ -x "$dir/bench/bench_livraison" ] || { echo "failed: bench_livraison was not built (is libasio-dev installed?)" >&2; exit 1; }
qovi_pg_fsync=on
qovi_pg_start 2>>"$log"
[ -n "${QOVI_TEST_PG_URL:-}" ] || { echo "failed: bench_livraison needs PostgreSQL (root and the postgresql package)" >&2; tail -n 20 "$log" >&2; exit 1; }
(cd "$work" && run "$dir/bench/bench_livraison" "$dir/qovi-server" "$QOVI_TEST_PG_URL")

# A primary and a synchronous standby under Patroni: what waiting for the standby
# costs a transfer, and the time to serve again after the primary's loss. Not in
# quick mode: Patroni's start and a failover take some 20 s.
if [ "$QOVI_BENCH_QUICK" = 1 ]; then
    echo "bench_bascule: not run in quick mode (Patroni's start and a failover)" >&2
else
    [ -x "$dir/bench/bench_bascule" ] || { echo "failed: bench_bascule was not built" >&2; exit 1; }
    (
        # shellcheck source=patroni-ha.sh
        source "$root/scripts/patroni-ha.sh"
        trap qovi_ha_stop EXIT
        qovi_ha_start 2>>"$log" || { echo "failed: bench_bascule needs Patroni (see $log)" >&2; tail -n 20 "$log" >&2; exit 1; }
        roles=$(qovi_ha_roles)
        leader=0 standby=1
        [[ $roles == *n1=leader* ]] && leader=1 standby=0
        cd "$work" && run "$dir/bench/bench_bascule" "$dir/qovi-server" "$qovi_ha_url" \
            "$(head -n 1 "$qovi_ha_dir/n$leader/postmaster.pid")" \
            "postgresql://postgres@127.0.0.1:${qovi_ha_pg[standby]}/postgres"
    )
fi
