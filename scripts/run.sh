#!/usr/bin/env bash
# Builds QoVi$ if needed and starts it: the client in its per-user working directory
# (${XDG_DATA_HOME:-~/.local/share}/qovi), with a local qovi-server unless one already listens.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "qovi-client needs a display. On a headless machine: xvfb-run -a bash scripts/run.sh" >&2
    exit 1
fi

QOVI_BIN_DIR="$root/build" QOVI_ICON="$root/window/coin.jpg" exec "$root/scripts/qovi" "$@"
