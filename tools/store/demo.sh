#!/usr/bin/env bash
# The demo: a stamped copy of the built program downloads a demo product from the local
# store and nginx, starts its installer and cleans up, inside a private network and
# mount namespace of its own (so the servers may take ports 443 and 80 and the program
# reaches nothing else), with a Wine prefix of its own that trusts the store's throwaway
# authority. tools/store/demo.py does the work inside; this script gets it there.
#
# Usage: tools/store/demo.sh [CONFIG.json]   (default: tools/store/demo-config.json;
#        its "tokens" and "accounts" are the store's, the product is the demo's own;
#        an empty "tokens" list shows the account form, account "demo", password "demo")
#
# It installs and builds what is missing first; a second run reuses the build, the
# prefix and the product's sources. With a display (DISPLAY set) the window is the
# person's to drive and the demo waits until it is closed. Without one it runs on a
# virtual display, drives every screen itself, saves a screenshot of each in
# build/windows/demo/ and exits 0 only when the product arrived byte for byte and the
# program ended with code 0.
#
# Everything it writes stays in the build tree: /tmp is a fresh tmpfs inside the
# namespace and HOME points into build/windows/demo-work while Wine runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build/windows
work=$build/demo-work

if [ "${1:-}" != --inside ]; then
    started=$(date +%s)
    config=$(realpath "${1:-$root/tools/store/demo-config.json}")
    "$root/tools/bootstrap.sh"
    mkdir -p "$work"
    echo "demo: building what is missing (log in $work/build.log)"
    if ! (
        cd "$root"
        [ -f build/native/build.ninja ] || cmake --preset native
        cmake --build --preset native --target quarryvale-stamp
        [ -f build/windows/build.ninja ] || cmake --preset windows
        cmake --build --preset windows --target quarryvale-downloader \
            qv-driver qv-trust-ca
    ) >"$work/build.log" 2>&1; then
        tail -n 40 "$work/build.log" >&2
        echo "demo: the build failed" >&2
        exit 1
    fi
    export QV_DEMO_CONFIG=$config QV_DEMO_STARTED=$started
    if [ -n "${DISPLAY:-}" ]; then
        export QV_SANDBOX_KEEP_DISPLAY=1 XAUTHORITY=${XAUTHORITY:-$HOME/.Xauthority}
    else
        unset QV_SANDBOX_KEEP_DISPLAY
    fi
    # QV_IN_SANDBOX: tests/sandbox.sh then uses these namespaces instead of its own.
    exec unshare --net --mount env QV_IN_SANDBOX=1 "$0" --inside
fi

# Inside the namespaces. Wine keeps its server's socket and X its display's under /tmp:
# a tmpfs of our own takes them and vanishes with the namespace (unless the tree itself
# lives in /tmp). A person's display stays reachable through its socket directory,
# moved over from the real /tmp.
case $root in
/tmp/*) ;;
*)
    if [ -n "${QV_SANDBOX_KEEP_DISPLAY:-}" ] && [ -d /tmp/.X11-unix ]; then
        mkdir -p "$work/x11"
        mount --bind /tmp/.X11-unix "$work/x11"
    fi
    mount -t tmpfs -o mode=1777,size=256m qv-demo-tmp /tmp
    if mountpoint -q "$work/x11" 2>/dev/null; then
        mkdir /tmp/.X11-unix
        mount --move "$work/x11" /tmp/.X11-unix
    fi
    ;;
esac
mkdir -p "$work/home"
export HOME=$work/home PYTHONDONTWRITEBYTECODE=1
exec "$root/tests/sandbox.sh" "$build/demo-prefix" /usr/bin/python3 "$root/tools/store/demo.py"
