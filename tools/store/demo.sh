#!/usr/bin/env bash
# Runs the built program against the local store on this machine's display, inside a
# private network namespace of its own (so the store may take ports 443 and 80 and the
# program reaches nothing else), with a Wine prefix of its own that trusts the store's
# throwaway authority. Everything started here is ended by process id on the way out.
#
# Usage: tools/store/demo.sh [CONFIG.json]   (default: tools/store/demo-config.json;
#        an empty "tokens" list shows the account form, account "demo", password "demo")
#
# It installs and builds what is missing first. Without a display (DISPLAY unset) it
# runs on a virtual one for QV_DEMO_SECONDS (30), saves a screenshot of the screen to
# build/windows/demo.png and ends; with a display it runs until the window is closed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
config=$(realpath "${1:-$root/tools/store/demo-config.json}")
build=$root/build/windows

if [ -z "${QV_IN_DEMO_NAMESPACE:-}" ]; then
    "$root/tools/bootstrap.sh"
    (cd "$root" && cmake --preset windows >/dev/null && cmake --build --preset windows >/dev/null)
    if [ -z "${DISPLAY:-}" ]; then
        # tests/sandbox.sh gives the namespace and a virtual display.
        export QV_IN_DEMO_NAMESPACE=headless
        exec "$root/tests/sandbox.sh" "$build/demo-prefix" "$0" "$config"
    fi
    exec unshare --net env QV_IN_DEMO_NAMESPACE=1 "$0" "$config"
fi
ip link set lo up
export WINEPREFIX=$build/demo-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# This prefix's wineserver must live in this namespace.
wineserver -k >/dev/null 2>&1 || true

certs=$build/test-ca
[ -s "$certs/server.pem" ] || "$root/tools/store/make-certs.sh" "$certs" localhost
state=$(mktemp -d)
store_pid=
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    if [ -s "$state/requests.jsonl" ]; then
        echo "demo: the store saw:"
        cat "$state/requests.jsonl"
    fi
    if [ -n "$store_pid" ]; then
        kill "$store_pid" 2>/dev/null || true
        wait "$store_pid" 2>/dev/null || true
    fi
    rm -rf "$state"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wine "$build/bin/qv-trust-ca.exe" "Z:$certs/ca.pem"
cp "$config" "$state/config.json"
/usr/bin/python3 "$root/tools/store/store.py" --state "$state" \
    --cert "$certs/server.pem" --key "$certs/server.key" &
store_pid=$!
for _ in $(seq 100); do
    [ -f "$state/ready" ] && break
    sleep 0.1
done
[ -f "$state/ready" ] || { echo "demo: the store did not start" >&2; exit 1; }

if [ "$QV_IN_DEMO_NAMESPACE" != headless ]; then
    wine "$build/bin/quarryvale-downloader.exe"
    exit 0
fi
wine "$build/bin/quarryvale-downloader.exe" &
program_pid=$!
sleep "${QV_DEMO_SECONDS:-30}"
import -window root "$build/demo.png"
echo "demo: screenshot in $build/demo.png"
kill "$program_pid" 2>/dev/null || true
