#!/usr/bin/env bash
# Follows the README on a new machine: a fresh minimal Debian 12 root (debootstrap, from
# this machine's Debian mirror) gets a clone of this checkout's HEAD, then, as root, with
# no display and CI=true:
#   1. bash scripts/run.sh      must bring the client up on a virtual display (its key
#                               file appears) having built no test program; then stopped
#   2. bash scripts/test.sh     the whole suite
#   3. QOVI_SANITIZE=1 bash scripts/test.sh   .ci/run's sanitizer stage
# --ci runs all of .ci/run as step 2 instead of steps 2 and 3.
# Each step's time is printed. It takes long (everything is installed and built from
# nothing); it is not part of .ci/run. Needs root, mount and chroot. The root is made
# under $QOVI_FRESH_DIR (default /var/tmp) and removed at the end, unless --keep.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${QOVI_PACKAGE_CACHE:-/var/cache/qovi-package-check}
full_ci=false
keep=false
for argument in "$@"; do
    case $argument in
    --ci) full_ci=true ;;
    --keep) keep=true ;;
    *) echo "usage: bash scripts/fresh-check.sh [--ci] [--keep]" >&2; exit 2 ;;
    esac
done

say() { echo "fresh-check: $*" >&2; }
fail() {
    say "FAILED: $*"
    exit 1
}
[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, mount, chroot)"
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8

# shellcheck source=debian-tree.sh
source "$root/scripts/debian-tree.sh"
mirror=$(debian_mirror)
base=$(debian_base "$cache" "$mirror") || fail "debootstrap"
tree=$(mktemp -d "${QOVI_FRESH_DIR:-/var/tmp}/qovi-fresh.XXXXXX")
run_pid=
# The processes running inside the root, or in a folder of it they chrooted into
# (HAProxy does): only this script starts any there.
in_tree() {
    local process root_of
    for process in /proc/[0-9]*; do
        root_of=$(readlink "$process/root" 2>/dev/null) || continue
        case "$root_of" in "$tree" | "$tree"/*) echo "${process#/proc/}" ;; esac
    done
    return 0
}
cleanup() {
    if [ -n "$run_pid" ]; then
        kill "$run_pid" 2>/dev/null || true
        wait "$run_pid" 2>/dev/null || true
    fi
    local pid
    for pid in $(in_tree); do kill -KILL "$pid" 2>/dev/null || true; done
    # What this script mounted, and what the tests mounted inside (ip netns's /run/netns), deepest first.
    local point
    for point in $(awk -v tree="$tree" 'index($2, tree "/") == 1 { print $2 }' /proc/self/mounts | sort -r); do
        umount "$point" 2>/dev/null || umount -l "$point" 2>/dev/null || true
    done
    if $keep; then
        say "kept $tree"
    else
        rm -rf --one-file-system "$tree"
    fi
}
trap cleanup EXIT
debian_tree "$tree" "$base" "$mirror"
mount -t proc proc "$tree/proc"
mount -t sysfs sys "$tree/sys"
mount --rbind /dev "$tree/dev"
mount --make-rslave "$tree/dev"
git clone -q --no-hardlinks "$root" "$tree/root/qovi"
say "fresh root $tree, mirror $mirror, clone of $(git -C "$root" rev-parse --short HEAD)"

# As the README's reader: root, a plain environment, no display. In place of the
# calling (sub)shell, so that a background one's PID is the command's own.
in_root() {
    exec chroot "$tree" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 CI=true TERM=dumb "$@"
}
timed() {
    local name=$1 start=$SECONDS
    shift
    ("$@") || fail "$name (after $((SECONDS - start)) s)"
    say "$name: passed in $((SECONDS - start)) s"
}

run_command() {
    local start=$SECONDS key
    in_root bash -c 'cd /root/qovi && exec bash scripts/run.sh' >"$tree/root/run.log" 2>&1 &
    run_pid=$!
    # Up when its key file is there: the client found its account number and started.
    while ! key=$(find "$tree/root/.local/share/qovi" -name '*.key' 2>/dev/null | head -n 1) || [ -z "$key" ]; do
        if ! kill -0 "$run_pid" 2>/dev/null; then
            tail -n 40 "$tree/root/run.log" >&2
            return 1
        fi
        [ $((SECONDS - start)) -lt 3600 ] || { tail -n 40 "$tree/root/run.log" >&2; return 1; }
        sleep 2
    done
    grep -q 'runs on the virtual display' "$tree/root/run.log" || { cat "$tree/root/run.log" >&2; return 1; }
    say "run command: $(grep 'runs on the virtual display' "$tree/root/run.log" | cut -c1-100)…"
    say "run command: the client is up after $((SECONDS - start)) s, $(du -sh "$tree/root/qovi/build" | cut -f1) in build/"
    if find "$tree/root/qovi/build" -name 'tst_*' -type f -perm -u+x | grep -q .; then
        say "run command built test programs"
        return 1
    fi
    kill "$run_pid"
    wait "$run_pid" 2>/dev/null || true
    run_pid=
    # What the run command left running in the root (Xvfb, the client, the server).
    local left
    left=$(for pid in $(in_tree); do cat "/proc/$pid/comm" 2>/dev/null; done | tr '\n' ' ')
    [ -z "$left" ] || { say "still running after the run command stopped: $left"; return 1; }
}

timed "run command (bash scripts/run.sh, no display)" run_command
if $full_ci; then
    timed "CI (bash .ci/run)" in_root bash -c 'cd /root/qovi && bash .ci/run'
else
    timed "test command (bash scripts/test.sh)" in_root bash -c 'cd /root/qovi && bash scripts/test.sh'
    timed "sanitizer stage (QOVI_SANITIZE=1 bash scripts/test.sh)" \
        in_root bash -c 'cd /root/qovi && QOVI_SANITIZE=1 bash scripts/test.sh'
fi
say "passed"
