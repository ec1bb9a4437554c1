#!/usr/bin/env bash
# Builds the Debian package and checks it on a fresh Debian 12: the desktop entry
# validates, and in a new minimal bookworm tree (debootstrap) the package installs
# with its dependencies and both programs start. Needs root and the Debian mirror.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" --test   # desktop-file-validate, dpkg-dev
"$root/scripts/build.sh"
export DEBIAN_FRONTEND=noninteractive
command -v debootstrap >/dev/null || { apt-get update -q && apt-get install -y -q debootstrap; }

desktop-file-validate "$root/packaging/qovi-client.desktop"
(cd "$root/build" && cpack -G DEB >/dev/null)
package=$(ls "$root"/build/qovi_*_amd64.deb)

tree=$(mktemp -d /tmp/qovi-debian12.XXXXXX)
cleanup() {
    umount "$tree/proc" 2>/dev/null || true
    rm -rf "$tree"
}
trap cleanup EXIT
debootstrap --variant=minbase bookworm "$tree" http://deb.debian.org/debian >/dev/null
mount -t proc proc "$tree/proc"
cp "$package" "$tree/tmp/"
chroot "$tree" bash -euc "
    apt-get update -q >/dev/null
    apt-get install -y -q /tmp/$(basename "$package") >/dev/null
    qovi-server --version
    qovi-server accounts --database /tmp/check.sqlite
    cd /tmp && QT_QPA_PLATFORM=offscreen timeout 3 qovi-client || [ \$? -eq 124 ]
    ls /tmp/*.key >/dev/null
    echo 'package installs and runs'
"
