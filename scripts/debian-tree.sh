# Sourced by the scripts that work in a fresh Debian 12 tree (package-check.sh,
# dependency-size.sh): unpacks the kept debootstrap tree and points its apt at the mirror.

# debian_tree TREE BASE_TAR MIRROR
debian_tree() {
    local tree=$1 base=$2 mirror=$3
    # By number: the names of the host are not those of the tree.
    tar --numeric-owner -C "$tree" -xf "$base"
    # The root of the tree is its /: every user must reach it (mktemp made it 0700).
    chmod 0755 "$tree"
    cat >"$tree/etc/apt/sources.list" <<SOURCES
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
SOURCES
    cp /etc/resolv.conf "$tree/etc/resolv.conf" 2>/dev/null || true
}
