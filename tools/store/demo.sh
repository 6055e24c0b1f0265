#!/usr/bin/env bash
# Runs the built program against the local store, inside a private network namespace
# of its own (so the store may take ports 443 and 80 and the program reaches nothing
# else), with a Wine prefix of its own that trusts the store's throwaway authority.
# Everything started here is ended by process id on the way out.
#
# Usage: tools/store/demo.sh [CONFIG.json]   (default: tools/store/demo-config.json;
#        an empty "tokens" list shows the account form, account "demo", password "demo")
#
# It installs and builds what is missing first. Without a display (DISPLAY unset) it
# runs on a virtual one for QV_DEMO_SECONDS (30), saves a screenshot of the screen to
# build/windows/demo.png and ends; with a display it runs until the window is closed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build/windows
prefix=$build/demo-prefix

if [ "${1:-}" != --inside ]; then
    config=$(realpath "${1:-$root/tools/store/demo-config.json}")
    "$root/tools/bootstrap.sh"
    (cd "$root" && cmake --preset windows >/dev/null && cmake --build --preset windows >/dev/null)
    [ -n "${DISPLAY:-}" ] && export QV_SANDBOX_KEEP_DISPLAY=1 || export QV_DEMO_HEADLESS=1
    export QV_STORE_CONFIG="$config"
    exec "$root/tests/sandbox.sh" "$prefix" "$root/tools/store/with-store.sh" "$prefix" "$0" --inside
fi

# Inside the namespace, with the store running.
show_requests() {
    if [ -s "$QV_STORE_STATE/requests.jsonl" ]; then
        echo "demo: the store saw:"
        cat "$QV_STORE_STATE/requests.jsonl"
    fi
}
trap show_requests EXIT

if [ -z "${QV_DEMO_HEADLESS:-}" ]; then
    wine "$build/bin/quarryvale-downloader.exe"
    exit 0
fi
wine "$build/bin/quarryvale-downloader.exe" &
program_pid=$!
sleep "${QV_DEMO_SECONDS:-30}"
import -window root "$build/demo.png"
echo "demo: screenshot in $build/demo.png"
kill "$program_pid" 2>/dev/null || true
