#!/usr/bin/env bash
# Runs a command with the local store listening on ports 443 (HTTPS) and 80 (HTTP) of
# the private network namespace, and tells it where the store's state directory is
# (QV_STORE_STATE). The test authority is made once per build tree at test time and
# trusted only by the given Wine prefix. QV_STORE_CONFIG, when set, names the store's
# first configuration.
#
# Usage: with-store.sh WINEPREFIX COMMAND [ARGS...]
# Outside tests/sandbox.sh it skips (exit 77): the ports and the prefix's wineserver
# belong to the namespace.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$(realpath -m "$1")
shift

if [ -z "${QV_IN_SANDBOX:-}" ]; then
    echo "with-store: run inside tests/sandbox.sh; skipped"
    exit 77
fi

build=$(dirname "$prefix")
certs="$build/test-ca"
"$root/tools/store/make-certs.sh" "$certs" "${QV_STORE_HOST:-localhost}" \
    ${QV_DOWNLOAD_HOST:+"$QV_DOWNLOAD_HOST"} || exit 1
marker="$prefix/qv-trusted-$(sha256sum "$certs/ca.pem" | cut -c1-16)"
if [ ! -f "$marker" ]; then
    "$root/cmake/wine-run.sh" "$prefix" "$build/bin/qv-trust-ca.exe" "Z:$certs/ca.pem" || exit 1
    touch "$marker"
fi

state=$(mktemp -d)
server_pid=
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    rm -rf "$state"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -n "${QV_STORE_CONFIG:-}" ]; then
    cp "$QV_STORE_CONFIG" "$state/config.json" || exit 1
fi
/usr/bin/python3 "$root/tools/store/store.py" --state "$state" \
    --cert "$certs/server.pem" --key "$certs/server.key" &
server_pid=$!
for _ in $(seq 100); do
    [ -f "$state/ready" ] && break
    sleep 0.1
done
if [ ! -f "$state/ready" ]; then
    echo "with-store: the store did not start" >&2
    exit 1
fi

export QV_STORE_STATE="$state"
"$@"
