#!/usr/bin/env bash
# What the run command and the test command install on a fresh minimal Debian 12:
# the packages and the disk space that apt announces (nothing is installed).
# Uses the debootstrap tree that scripts/debian-tree.sh keeps; needs root and the mirror.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${QOVI_PACKAGE_CACHE:-/var/cache/qovi-package-check}
# shellcheck source=debian-tree.sh
source "$root/scripts/debian-tree.sh"
mirror=$(debian_mirror)
base=$(debian_base "$cache" "$mirror")

tree=$(mktemp -d /var/tmp/qovi-size.XXXXXX)
trap 'umount "$tree/proc" 2>/dev/null; rm -rf --one-file-system "$tree"' EXIT
debian_tree "$tree" "$base" "$mirror"
mount -t proc proc "$tree/proc"
chroot "$tree" apt-get -o APT::Sandbox::User=root update -qq

# The lists as install-deps.sh has them.
lists=$(sed -n '/^packages=(/,/^)/p; /^tunnel=(/p; /^tests=(/,/^)/p' "$root/scripts/install-deps.sh")
run=$(bash -c "$lists"$'\necho "${packages[*]}"')
tests=$(bash -c "$lists"$'\necho "${tests[*]}"')

announce() {
    local plan
    plan=$(chroot "$tree" apt-get install --no-install-recommends --assume-no "$@" 2>/dev/null || true)
    echo \
        "$(chroot "$tree" apt-get install -s --no-install-recommends "$@" | grep -c '^Inst ') packages," \
        "$(grep -o '[0-9.,]* [kMG]B of additional disk space' <<<"$plan")"
}
echo "run command:  $(announce $run)"
echo "test command: $(announce $run $tests)"
