#!/usr/bin/env bash
# The steps of scripts/package-check.sh that run inside the Debian 12 root, one per call:
#   prepare            the tools of the check, what the packages need, and the list of
#                      what is there before
#   install previous|current   the packages in /tmp/previous or /tmp/current
#   start-first        starts the server as its unit would and the client through the
#                      launcher, creates an account and credits it
#   start-again        after the upgrade: the account, its balance and the client's key work
#   purge              purges both packages and compares with the list made first
# The start steps run without network (a namespace of their own).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 QT_QPA_PLATFORM=xcb
check=/tmp/check
database=/var/lib/qovi/server.sqlite
# The unit's dynamic user has a number and no name.
service_uid=61184

say() { echo "package-check (root): $*" >&2; }
fail() {
    say "FAILED: $*"
    for log in "$check"/*.log /root/.local/share/qovi/*.log; do
        [ -f "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
    done
    exit 1
}

# Waits up to 60 s for a condition (a command), checking every tenth of a second.
wait_for() {
    local what=$1
    shift
    for _ in $(seq 600); do
        "$@" && return 0
        sleep 0.1
    done
    fail "timed out waiting for $what"
}

# Everything under the trees a package may touch, and the users and groups.
inventory() {
    find /etc /var/lib /usr /opt /srv -xdev \
        -not -path '/var/lib/dpkg/*' -not -path '/var/lib/apt/*' \
        -not -path '/var/lib/systemd/deb-systemd-helper-enabled' -not -path '/etc/ld.so.cache' \
        -not -path '/usr/share/info/dir*' 2>/dev/null | sort
    cut -d: -f1 /etc/passwd | sed 's/^/user: /'
    cut -d: -f1 /etc/group | sed 's/^/group: /'
}

prepare() {
    apt-get update -q >/dev/null
    # An X server to start the client on, a tool to press its button; iproute2 for the namespace.
    apt-get install -y -q --no-install-recommends xvfb xauth xdotool iproute2 >/dev/null
    # A server machine installs no GUI library: what installing the server alone would bring.
    apt-get install -s -q /tmp/current/qovi-server_*.deb >"$check/plan.log" 2>&1 || fail "qovi-server cannot install"
    if grep -E '^Inst libqt5(gui|widgets)' "$check/plan.log"; then
        fail "installing qovi-server would install Qt GUI libraries"
    fi
    # The libraries the packages use come first, so that the list made next shows what
    # the packages themselves leave behind.
    local needs=() deb field
    for deb in /tmp/current/*.deb; do
        for field in Depends Recommends; do
            needs+=("$(dpkg-deb -f "$deb" "$field")")
        done
    done
    needs=$(printf '%s, ' "${needs[@]}" | tr ',' '\n' | sed 's/^ *//; /^$/d; /^qovi-/d' | paste -sd, -)
    apt-get satisfy -y -q --no-install-recommends "$needs" >"$check/apt.log" 2>&1 || fail "installing what the packages need"
    inventory >"$check/before.txt"
}

install_packages() {
    local which=$1
    apt-get install -y -q --no-install-recommends /tmp/"$which"/*.deb >"$check/apt.log" 2>&1 ||
        fail "installing the packages"
    if ldd /usr/bin/qovi-server | grep -E 'libQt5(Gui|Widgets)'; then
        fail "qovi-server links a Qt GUI library"
    fi
    local expected
    expected=$(dpkg-deb -f /tmp/"$which"/qovi-client_*.deb Version)
    for package in qovi-client qovi-server; do
        [ "$(dpkg-query -W -f='${Version}' "$package")" = "$expected" ] || fail "$package is not at $expected"
    done
    [ -f /etc/default/qovi-server ] || fail "no /etc/default/qovi-server"
    [ "$(stat -c %a /etc/default/qovi-server)" = 600 ] || fail "/etc/default/qovi-server is not 0600"
    for page in qovi qovi-client qovi-server; do
        [ -f /usr/share/man/man1/$page.1.gz ] || fail "no manual page $page(1)"
    done
    say "installed $expected"
}

# The state directory as systemd makes it, owned by the service's user. (For a dynamic
# user systemd keeps it in /var/lib/private/qovi, which only the service's own mount
# namespace can reach; purging removes both.)
state_directory() {
    mkdir -p /var/lib/qovi
    chown "$service_uid:$service_uid" /var/lib/qovi
    chmod 0700 /var/lib/qovi
}

service_user=(setpriv --reuid="$service_uid" --regid="$service_uid" --clear-groups --)
as_service() { "${service_user[@]}" "$@"; }

server_pid=
start_server() {
    state_directory
    # The unit's defaults, then its environment file.
    QOVI_DATABASE=$database
    QOVI_SERVER_OPTIONS=
    set -a
    # shellcheck disable=SC1091
    . /etc/default/qovi-server
    set +a
    # shellcheck disable=SC2086 # the options are words, as systemd splits $QOVI_SERVER_OPTIONS
    # Not through a function: $! must be the server itself.
    "${service_user[@]}" /usr/bin/qovi-server --database "$QOVI_DATABASE" $QOVI_SERVER_OPTIONS >"$check/server.log" 2>&1 &
    server_pid=$!
    wait_for "the server to listen" listening
}

listening() { (exec 3<>/dev/tcp/127.0.0.1/50885) 2>/dev/null; }

stop() {
    local pid=$1
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

xvfb_pid=
client_pid=
# The launcher, as the desktop entry starts it, on a virtual display; then Enter in the
# address field, which has the focus, presses "Connection" until the server's log shows
# the line that logged_in (a function of the log's path) waits for.
start_client() {
    local server_log=$1 expected=$2
    Xvfb :7 -nolisten tcp >"$check/xvfb.log" 2>&1 &
    xvfb_pid=$!
    export DISPLAY=:7
    wait_for "the X server" xdpyinfo_ok
    HOME=/root qovi >"$check/client.log" 2>&1 &
    client_pid=$!
    local window
    window=$(timeout 60 xdotool search --sync --onlyvisible --name '^QoVi\$$' | head -n 1) ||
        fail "the client's window did not show"
    timeout 30 xdotool windowfocus --sync "$window" || fail "cannot focus the client's window"
    # A key pressed while the window is still settling may be lost: press again, a few times.
    for _ in 1 2 3 4 5 6; do
        xdotool key Return
        for _ in $(seq 100); do
            grep -Eqs "$expected" "$server_log" && return 0
            sleep 0.1
        done
    done
    fail "no \"$expected\" in $server_log after pressing Connection"
}

xdpyinfo_ok() { xdotool getdisplaygeometry >/dev/null 2>&1; }

stop_client() {
    stop "$client_pid"
    stop "$xvfb_pid"
}

data=/root/.local/share/qovi

account() {
    local key
    key=$(ls "$data"/*.key 2>/dev/null | head -n 1)
    [ -n "$key" ] || return 1
    basename "$key" .key
}

start_first() {
    start_server
    start_client "$check/server.log" 'created from [^ ]+ account [0-9A-F]{12}'
    local number
    number=$(account) || fail "the client made no key"
    grep -Eq "created from [^ ]+ account $number" "$check/server.log" || fail "the server did not log the account of the key"
    as_service qovi-server credit "$number" 1000 --database "$database" || fail "credit"
    stop_client
    stop "$server_pid"
    echo "$number" >"$check/account"
    say "account $number created and credited with 1000"
}

start_again() {
    local number
    number=$(cat "$check/account")
    [ -s "$data/$number.key" ] || fail "the client's key is gone"
    as_service qovi-server accounts --database "$database" >"$check/accounts.log" ||
        fail "listing the accounts"
    grep -Eq "^$number +1000$" "$check/accounts.log" || fail "the balance of $number did not survive"
    start_server
    start_client "$check/server.log" "authenticated from [^ ]+ account $number"
    stop_client
    stop "$server_pid"
    # Without a server running, the launcher starts its own one in the user's directory.
    start_client "$data/server.log" "created from [^ ]+ account $number"
    stop_client
    say "after the upgrade: balance kept, the key still logs in, the launcher starts its own server"
}

purge() {
    apt-get purge -y -q qovi-client qovi-server >"$check/apt.log" 2>&1 || fail "purge"
    inventory >"$check/after.txt"
    if ! diff -u "$check/before.txt" "$check/after.txt" >"$check/left.txt"; then
        cat "$check/left.txt" >&2
        fail "purging left this behind or removed this (- before, + after)"
    fi
    say "purged: nothing left behind"
}

# Whatever happens, nothing started here outlives the step.
stop_all() {
    local pid
    for pid in "$client_pid" "$server_pid" "$xvfb_pid"; do
        [ -n "$pid" ] && stop "$pid"
    done
    return 0
}
trap stop_all EXIT

case ${1:-} in
prepare) prepare ;;
install) install_packages "$2" ;;
start-first) start_first ;;
start-again) start_again ;;
purge) purge ;;
*)
    echo "usage: $0 prepare|install previous|install current|start-first|start-again|purge" >&2
    exit 2
    ;;
esac
