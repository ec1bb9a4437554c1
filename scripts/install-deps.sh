#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing QoVi$ need.
# Skips apt entirely when everything is already there.
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config
    qtbase5-dev libqt5sql5-sqlite libqt5sql5-psql libsqlite3-dev
    xvfb xauth xdotool x11-utils iproute2 util-linux procps python3
    postgresql
    # test tools: HAProxy in front of several servers (the cluster demo and its test)
    haproxy
    clang-14 libclang-rt-14-dev
    libbenchmark-dev libxcb1-dev libasio-dev
    desktop-file-utils dpkg-dev file
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "QoVi\$ needs these Debian packages, please install them as root: ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
