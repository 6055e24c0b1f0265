#!/usr/bin/env bash
# Runs a command inside a private network and mount namespace with its own X display and its own
# wineserver, so that servers may take ports 443 and 80 and nothing leaves the machine.
# Everything started here is ended by process id when the command ends, fails or is
# interrupted.
#
# Usage: tests/sandbox.sh WINEPREFIX COMMAND [ARGS...]
# With QV_SANDBOX_KEEP_DISPLAY set, the caller's DISPLAY is used instead of a virtual one
# (the demo on a person's screen).
set -euo pipefail

if [ -z "${QV_IN_SANDBOX:-}" ]; then
    exec unshare --net --mount env QV_IN_SANDBOX=1 "$0" "$@"
fi

export WINEPREFIX
WINEPREFIX=$(realpath -m "$1")
shift
# No .NET or HTML engine: neither is needed, and a fresh prefix would ask for them.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

ip link set lo up

# The download server's own name for HTTPS: the store holds localhost:443, and a secure
# connection needs a name its certificate can carry (an address alone fails the name
# check). It lives in this mount namespace only.
export QV_DOWNLOAD_HOST=downloads.test QV_DOWNLOAD_ADDRESS=127.0.0.3
hosts=$(mktemp)
{
    cat /etc/hosts
    echo "$QV_DOWNLOAD_ADDRESS $QV_DOWNLOAD_HOST"
    echo "$QV_DOWNLOAD_ADDRESS mismatch.test"
    echo "127.0.0.4 untrusted.test"
} >"$hosts"
mount --bind "$hosts" /etc/hosts
rm -f "$hosts"

# Sockets live in wineserver, so a wineserver of this prefix left running outside the
# namespace would take every connection out of it.
wineserver -k >/dev/null 2>&1 || true

xvfb_pid=
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Xvfb picks a free display itself; /tmp is shared with other namespaces.
if [ -z "${QV_SANDBOX_KEEP_DISPLAY:-}" ] || [ -z "${DISPLAY:-}" ]; then
    display_file=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$display_file" ] && break
        sleep 0.1
    done
    if [ ! -s "$display_file" ]; then
        echo "sandbox: Xvfb did not start" >&2
        exit 1
    fi
    export DISPLAY=":$(head -n 1 "$display_file")"
    rm -f "$display_file"
fi

# The display must exist before the first wine command of the prefix, or wineserver
# can never create windows; the prefix itself is made quietly on first use.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
fi

# Windows are left to a window manager only on a person's display. None runs on our own
# Xvfb, and Wine would wait about 2 s for one whenever a window hides or a box closes,
# holding that window's thread; unmanaged, Wine draws and places them itself, as Windows
# does.
managed=Y
[ -z "$xvfb_pid" ] || managed=N
if [ "$(cat "$WINEPREFIX/qv-managed" 2>/dev/null)" != "$managed" ] &&
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d "$managed" /f >/dev/null 2>&1; then
    wineserver -w
    echo "$managed" >"$WINEPREFIX/qv-managed"
fi

"$@"
