#!/bin/sh
# Runs a Windows executable under Wine in the build tree's own prefix, never ~/.wine.
# Usage: wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# The prefix is made quietly on first use: anything wineboot prints would otherwise
# be taken by ctest for a test's output.
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    wineboot -i >/dev/null 2>&1
    wineserver -w
fi
exec wine "$@"
