# Sourced by the scripts that work in a fresh Debian 12 tree (package-check.sh,
# dependency-size.sh, fresh-check.sh): makes and keeps a minimal debootstrap tree,
# unpacks a copy of it and points its apt at the mirror.

# debian_mirror: $QOVI_DEBIAN_MIRROR, else the Debian mirror this machine's apt uses.
debian_mirror() {
    local found
    if [ -n "${QOVI_DEBIAN_MIRROR:-}" ]; then
        echo "$QOVI_DEBIAN_MIRROR"
        return
    fi
    found=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | sed -n 's/^URIs: *//p' | tr ' ' '\n' |
        grep -v -e security -e '^$' | head -n 1 || true)
    [ -n "$found" ] || found=$(sed -n 's/^deb  *\(\[[^]]*\] *\)\{0,1\}\([^ ]*\) .*/\2/p' /etc/apt/sources.list 2>/dev/null |
        grep -v security | head -n 1 || true)
    echo "${found:-http://deb.debian.org/debian}"
}

# debian_base CACHE MIRROR: prints the path of the kept tree's tarball, made by
# debootstrap when missing or older than a week.
debian_base() {
    local cache=$1 mirror=$2 base fresh
    base="$cache/bookworm-minbase.tar"
    if [ ! -f "$base" ] || [ -n "$(find "$base" -mtime +7)" ]; then
        if ! command -v debootstrap >/dev/null; then
            apt-get update -q >&2
            apt-get install -y -q --no-install-recommends debootstrap >&2
        fi
        echo "debootstrap bookworm (kept in $base)" >&2
        mkdir -p "$cache"
        fresh=$(mktemp -d /var/tmp/qovi-debootstrap.XXXXXX)
        debootstrap --variant=minbase bookworm "$fresh" "$mirror" >/dev/null ||
            { rm -rf "$fresh"; echo "debootstrap failed" >&2; return 1; }
        # A name of its own: two scripts may make the tree at the same time.
        tar --numeric-owner -C "$fresh" -cf "$base.$$" .
        rm -rf "$fresh"
        mv "$base.$$" "$base"
    fi
    echo "$base"
}

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
