#!/usr/bin/env bash
# Configures and builds QoVi$ into build/ (or build-sanitize/ with QOVI_SANITIZE=1).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

if [ "${QOVI_SANITIZE:-0}" = 1 ]; then
    dir="$root/build-sanitize"
    options=(-DQOVI_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
else
    dir="$root/build"
    options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
cmake -S "$root" -B "$dir" -G Ninja -DQOVI_WERROR=ON "${options[@]}" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
