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
"$root/scripts/install-deps.sh"

dir="$root/build-bench"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DQOVI_WERROR=ON >/dev/null
cmake --build "$dir" --parallel "$(nproc)" >/dev/null

work=$(mktemp -d)
xvfb=
cleanup() {
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
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

run "$dir/bench/bench_codec" --benchmark_min_time=0.5 --benchmark_repetitions=3

(cd "$work" && QT_QPA_PLATFORM=offscreen run "$dir/bench/bench_reponses" 100000 3)

# The real server on loopback. Idle connections held: 10,000 (1000 in quick mode);
# QOVI_BENCH_CONNEXIONS="1000 10000" for several levels.
[ -x "$dir/bench/bench_serveur" ] || { echo "failed: bench_serveur was not built (is libasio-dev installed?)" >&2; exit 1; }
if [ "$QOVI_BENCH_QUICK" = 1 ]; then secondes=1 connexions=1000; else secondes=3 connexions=10000; fi
# shellcheck disable=SC2086
(cd "$work" && run "$dir/bench/bench_serveur" "$dir/qovi-server" "$secondes" ${QOVI_BENCH_CONNEXIONS:-$connexions})
