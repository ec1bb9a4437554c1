#!/usr/bin/env bash
# Runs QoVi$ over TLS without changing its protocol: stunnel at both ends, with
# the configuration files of packaging/stunnel/. Stays in the foreground (Ctrl-C stops it).
#
# On the server machine, in front of a qovi-server listening on 127.0.0.1:50885
# and started with --proxy-from 127.0.0.1 (stunnel names each client to it):
#   bash scripts/tunnel.sh server [--accept ADDRESS:PORT] [--connect ADDRESS:PORT] [--dir DIR]
#     TLS on --accept (default 0.0.0.0:50886), plain to --connect (default 127.0.0.1:50885).
#     The key and the self-signed certificate are DIR/server.key and DIR/server.crt
#     (DIR defaults to ${XDG_DATA_HOME:-~/.local/share}/qovi/tunnel), made if missing.
#     Copy server.crt (never the key) to every client machine.
#
# On each client machine:
#   bash scripts/tunnel.sh client --connect HOST:PORT --cert FILE [--accept ADDRESS:PORT]
#     Plain on --accept (default 127.0.0.1:50885: type 127.0.0.1 in the client), TLS
#     to the server's stunnel at HOST:PORT, trusting only the certificate FILE.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
usage() {
    sed -n '5,16s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

side=${1:-}
[ "$side" = server ] || [ "$side" = client ] || usage
shift
if [ "$side" = server ]; then
    accept=0.0.0.0:50886 connect=127.0.0.1:50885
else
    accept=127.0.0.1:50885 connect=
fi
dir="${XDG_DATA_HOME:-$HOME/.local/share}/qovi/tunnel"
cert=
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case $1 in
    --accept) accept=$2 ;;
    --connect) connect=$2 ;;
    --dir) dir=$2 ;;
    --cert) cert=$2 ;;
    *) usage ;;
    esac
    shift 2
done

if ! command -v stunnel4 >/dev/null || ! command -v openssl >/dev/null; then
    "$root/scripts/install-deps.sh" --tunnel
fi

# The configuration with these values; stunnel reads it from its standard input.
configure() { # file key=value...
    local file=$1 expression=() pair value
    shift
    for pair in "$@"; do
        # Paths and addresses go in as they are: only what sed would read otherwise is escaped.
        value=${pair#*=}
        value=${value//\\/\\\\}
        value=${value//|/\\|}
        value=${value//&/\\&}
        expression+=(-e "s|^${pair%%=*} = .*|${pair%%=*} = $value|")
    done
    sed "${expression[@]}" "$root/packaging/stunnel/$file"
}

if [ "$side" = server ]; then
    mkdir -p "$dir"
    chmod 700 "$dir"
    if [ ! -f "$dir/server.key" ] || [ ! -f "$dir/server.crt" ]; then
        (umask 077 && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
            -subj "/CN=qovi-server $(hostname)" -keyout "$dir/server.key" -out "$dir/server.crt" 2>/dev/null)
        chmod 644 "$dir/server.crt"
        echo "tunnel: made $dir/server.key and $dir/server.crt; copy server.crt to the client machines" >&2
    fi
    echo "tunnel: TLS on $accept to qovi-server on $connect (which needs --proxy-from ${connect%:*})" >&2
    exec stunnel4 -fd 0 < <(configure server.conf "accept=$accept" "connect=$connect" \
        "cert=$dir/server.crt" "key=$dir/server.key")
fi

[ -n "$connect" ] || { echo "tunnel client: --connect HOST:PORT (the server's stunnel) is required" >&2; usage; }
[ -f "$cert" ] || { echo "tunnel client: --cert FILE (a copy of the server's server.crt) is required" >&2; usage; }
cert=$(readlink -f "$cert")
echo "tunnel: $accept to the server's stunnel at $connect, trusting only $cert" >&2
exec stunnel4 -fd 0 < <(configure client.conf "accept=$accept" "connect=$connect" "CAfile=$cert")
