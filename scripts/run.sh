#!/usr/bin/env bash
# Builds QoVi$ if needed and starts the client in its per-user working directory,
# where its key (the account's secret) and its history are kept between runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "qovi-client needs a display. On a headless machine: xvfb-run -a bash scripts/run.sh" >&2
    exit 1
fi

workdir="${XDG_DATA_HOME:-$HOME/.local/share}/qovi"
mkdir -p "$workdir"
chmod 700 "$workdir"
cp -f "$root/window/coin.jpg" "$workdir/coin.jpg"

cd "$workdir"
exec "$root/build/qovi-client" "$@"
