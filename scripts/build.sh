#!/usr/bin/env bash
# Configures and builds QoVi$ into build/ (or build-sanitize/ with QOVI_SANITIZE=1).
#
#   build.sh           the programs only (qovi-client, qovi-server): what running needs
#   build.sh --tests   the programs, the test programs and the benchmarks
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
testing=OFF
for argument in "$@"; do
    case $argument in
    --tests) testing=ON ;;
    *) echo "usage: bash scripts/build.sh [--tests]" >&2; exit 2 ;;
    esac
done
if [ "$testing" = ON ]; then
    "$root/scripts/install-deps.sh" --test
else
    "$root/scripts/install-deps.sh"
fi

if [ "${QOVI_SANITIZE:-0}" = 1 ]; then
    dir="$root/build-sanitize"
    options=(-DQOVI_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
else
    dir="$root/build"
    options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
cmake -S "$root" -B "$dir" -G Ninja -DQOVI_WERROR=ON -DBUILD_TESTING="$testing" "${options[@]}" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
