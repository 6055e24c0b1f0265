#!/bin/sh
# Runs a Windows executable under Wine in the build tree's own prefix, never ~/.wine.
# Usage: wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# The prefix is made quietly on first use: anything wineboot prints would otherwise
# be taken by ctest for a test's output.
#
# The program's output goes through a file, not straight to the caller: the first Wine
# process of a session starts Wine's background processes (services, the desktop), and
# they inherit its standard output. Were that ctest's pipe, ctest would wait for them to
# close it until the test's time-out, although the test itself had ended.
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    wineboot -i >/dev/null 2>&1
    wineserver -w
fi
output=$(mktemp)
pid=
finish() {
    cat "$output"
    rm -f "$output"
}
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; finish; exit 124' INT TERM
wine "$@" >"$output" 2>&1 </dev/null &
pid=$!
wait "$pid"
status=$?
finish
exit $status
