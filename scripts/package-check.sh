#!/usr/bin/env bash
# Builds the Debian packages qovi-client and qovi-server from debian/ and checks them:
#  - lintian: no error and no warning; the desktop entry, the AppStream metadata and the
#    service unit validate; qovi-server links no Qt GUI library;
#  - in a fresh minimal Debian 12 root (debootstrap): the previous build installs (the
#    server alone first, without any GUI library), both programs start and an account is
#    created and credited; the upgrade to this build keeps the account, its balance and
#    the client's key, and both programs start again; purging both leaves nothing behind
#    under /etc, /var/lib, /usr, /opt, /srv, and no user or group.
# The previous build is this tree built again under a lower version (a changelog entry
# added to a copy): it checks the maintainer scripts and the upgrade of the files.
# systemd does not run in a chroot: the server is started there as its unit would start
# it (its environment file, its database in /var/lib/qovi, an unnamed user), in a
# network namespace of its own with a virtual interface (the client's account number is
# a hardware address).
#
# Needs root and the Debian mirror ($QOVI_DEBIAN_MIRROR). The debootstrap tree, the
# downloaded .debs and the build tree (for ccache) are kept in $QOVI_PACKAGE_CACHE
# (default /var/cache/qovi-package-check); every check unpacks a new copy of the tree.
# The packages are left in $QOVI_PACKAGE_CACHE/build; --no-build checks those again
# (after a change to the check itself) instead of building.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${QOVI_PACKAGE_CACHE:-/var/cache/qovi-package-check}
build=$cache/build
source=$build/qovi

say() { echo "package-check: $*" >&2; }
fail() {
    say "FAILED: $*"
    exit 1
}

if [ "$(id -u)" -ne 0 ]; then
    say "needs root (debootstrap, chroot, namespaces)"
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8

tools=(dpkg-dev debhelper lintian appstream desktop-file-utils debootstrap ccache systemd util-linux iproute2)
missing=()
for package in "${tools[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# --- Static checks of the sources ---
desktop-file-validate "$root/packaging/qovi-client.desktop"
appstreamcli validate --no-net --explain "$root"/packaging/*.metainfo.xml >/dev/null ||
    appstreamcli validate --no-net "$root"/packaging/*.metainfo.xml

# --- Build: this version, and the same tree under a lower version ---
# One build directory for every run: ccache then finds the same paths.
mkdir -p "$build"
if [ "${1:-}" = --no-build ]; then
    [ -f "$source/debian/changelog" ] || fail "--no-build: nothing built in $build yet"
    version=$(cd "$source" && dpkg-parsechangelog -S Version)
    previous="$version~previous"
else
    rm -rf "$source"
    mkdir "$source"
    git -C "$root" ls-files -z --cached --others --exclude-standard |
        (cd "$root" && tar --null --ignore-failed-read -T - -cf -) | tar -xf - -C "$source"
    rm -f "$build"/qovi_* "$build"/qovi-client_* "$build"/qovi-server_* "$build"/qovi-*dbgsym_*
    apt-get build-dep -y -q "$source" >/dev/null

    version=$(cd "$source" && dpkg-parsechangelog -S Version)
    previous="$version~previous"

    build_packages() {
        (
            cd "$source"
            export PATH="/usr/lib/ccache:$PATH" CCACHE_BASEDIR="$build"
            dpkg-buildpackage -us -uc -j2 "$@" >"$build/build.log" 2>&1
        ) || {
            tail -n 40 "$build/build.log" >&2
            fail "dpkg-buildpackage failed (log: $build/build.log)"
        }
    }

    changelog=$(cat "$source/debian/changelog")
    {
        echo "qovi ($previous) bookworm; urgency=medium"
        echo
        echo "  * The previous build for the upgrade check."
        echo
        echo " -- QoVi\$ developers <developers@qovi.invalid>  $(date -R)"
        echo
        echo "$changelog"
    } >"$source/debian/changelog"
    say "building $previous"
    build_packages -b
    echo "$changelog" >"$source/debian/changelog"
    say "building $version"
    build_packages
fi

debs() { ls "$build"/qovi-client_"$1"_*.deb "$build"/qovi-server_"$1"_*.deb; }
debs "$previous" >/dev/null && debs "$version" >/dev/null || fail "packages missing in $build"
changes=$(ls "$build"/qovi_"$version"_*.changes)

# --- Checks of the built packages ---
say "lintian"
lintian --fail-on error,warning --info "$changes" || fail "lintian"
unit="$source/debian/qovi-server/lib/systemd/system/qovi-server.service"
# systemd-analyze verify checks the unit's own syntax and that its command exists.
if systemd-analyze --version >/dev/null 2>&1; then
    verify=$(mktemp -d)
    cp "$unit" "$verify/"
    # The unit names /usr/bin/qovi-server: verify against the built one.
    sed -i "s|/usr/bin/qovi-server|$source/debian/qovi-server/usr/bin/qovi-server|" "$verify/qovi-server.service"
    report=$(systemd-analyze verify --man=no "$verify/qovi-server.service" 2>&1) || {
        echo "$report" >&2
        fail "systemd-analyze verify"
    }
    rm -rf "$verify"
    if [ -n "$report" ]; then
        echo "$report" >&2
        fail "systemd-analyze verify has remarks"
    fi
    say "systemd-analyze verify: clean"
else
    say "skipped systemd-analyze verify: systemd-analyze cannot run here"
fi
server_deb=$(ls "$build"/qovi-server_"$version"_*.deb)
if dpkg-deb -f "$server_deb" Depends | grep -Eq 'libqt5(gui|widgets)'; then
    fail "qovi-server depends on a Qt GUI library: $(dpkg-deb -f "$server_deb" Depends)"
fi
if ldd "$source/debian/qovi-server/usr/bin/qovi-server" | grep -Eq 'libQt5(Gui|Widgets)'; then
    fail "qovi-server links a Qt GUI library"
fi

# --- A fresh Debian 12 root ---
# shellcheck source=debian-tree.sh
source "$root/scripts/debian-tree.sh"
mirror=$(debian_mirror)
base=$(debian_base "$cache" "$mirror") || fail "debootstrap"
tree=$(mktemp -d /var/tmp/qovi-debian12.XXXXXX)
mkdir -p "$cache/archives/partial"
mounted=()
cleanup() {
    local point
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        point=${mounted[$i]}
        umount "$point" 2>/dev/null || umount -l "$point" 2>/dev/null || true
    done
    rm -rf --one-file-system "$tree"
}
trap cleanup EXIT
debian_tree "$tree" "$base" "$mirror"
mount -t proc proc "$tree/proc" && mounted+=("$tree/proc")
mount --bind "$cache/archives" "$tree/var/cache/apt/archives" && mounted+=("$tree/var/cache/apt/archives")
mkdir -p "$tree/tmp/previous" "$tree/tmp/current" "$tree/tmp/check"
cp $(debs "$previous") "$tree/tmp/previous/"
cp $(debs "$version") "$tree/tmp/current/"
cp "$root/scripts/package-check-root.sh" "$tree/tmp/check/"
# No service starts in a chroot (policy-rc.d), and dpkg needs no terminal.
printf '#!/bin/sh\nexit 101\n' >"$tree/usr/sbin/policy-rc.d"
chmod 0755 "$tree/usr/sbin/policy-rc.d"
echo 'Dpkg::Use-Pty "0";' >"$tree/etc/apt/apt.conf.d/90qovi-check"
chroot "$tree" chown _apt:root /var/cache/apt/archives/partial

# Steps that need the mirror run in this network; the programs run in network and IPC
# namespaces of their own (the client's single-instance guard uses System V IPC).
in_root() { chroot "$tree" bash /tmp/check/package-check-root.sh "$@"; }
offline() {
    unshare --net --ipc chroot "$tree" bash -c '
        ip link set lo up
        # Virtual interfaces with fixed hardware addresses: the client'"'"'s account number stays the same.
        ip link add qovi0 address 02:00:00:51:0e:01 type veth peer name qovi1 address 02:00:00:51:0e:02
        ip link set qovi0 up
        exec bash /tmp/check/package-check-root.sh "$@"' bash "$@"
}

in_root prepare
in_root install previous
offline start-first
in_root install current
offline start-again
in_root purge
say "passed: lintian clean, installs, starts, upgrades $previous -> $version keeping its state, purges clean"
