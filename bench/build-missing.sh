#!/usr/bin/env bash
# Builds, in the build tree BUILD, those of the Windows TARGETS whose executables are
# missing there, so that a benchmark's second run costs no build.
# Usage: bench/build-missing.sh BUILD TARGET...
set -euo pipefail
build=$1
shift
missing=()
for target in "$@"; do
    [ -f "$build/bin/$target.exe" ] || missing+=("$target")
done
if [ ${#missing[@]} -gt 0 ]; then
    [ -f "$build/build.ninja" ] || cmake --preset windows -B "$build"
    cmake --build "$build" --target "${missing[@]}"
fi
