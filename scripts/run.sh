#!/usr/bin/env bash
# Builds the programs if needed and starts QoVi$: the client in its per-user working
# directory (${XDG_DATA_HOME:-~/.local/share}/qovi), with a local qovi-server unless one
# already listens. Without a display, the client runs on a virtual one (Xvfb) that
# ends with it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"

export QOVI_BIN_DIR="$root/build" QOVI_ICON="$root/window/coin.jpg"
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ] || [ -n "${QT_QPA_PLATFORM:-}" ]; then
    exec "$root/scripts/qovi" "$@"
fi

work=$(mktemp -d)
xvfb_pid=
qovi_pid=
cleanup() {
    if [ -n "$qovi_pid" ]; then
        kill "$qovi_pid" 2>/dev/null || true
        wait "$qovi_pid" 2>/dev/null || true
    fi
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

# Xvfb takes the first free display number and writes it once it accepts clients.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 300); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; echo "run: Xvfb did not start" >&2; exit 1; }
    sleep 0.1
done
[ -s "$work/display" ] || { echo "run: Xvfb did not start within 30 s" >&2; exit 1; }
export DISPLAY=":$(tr -d '[:space:]' <"$work/display")"
echo "run: no display here, so qovi-client runs on the virtual display $DISPLAY (Xvfb) until Ctrl+C;" \
    "to see it: x11vnc -display $DISPLAY -localhost (Debian package x11vnc), then a VNC viewer on port 5900" >&2

"$root/scripts/qovi" "$@" &
qovi_pid=$!
status=0
wait "$qovi_pid" || status=$?
qovi_pid=
exit "$status"
