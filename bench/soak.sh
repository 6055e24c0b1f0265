#!/usr/bin/env bash
# The chaos soak (bench/README.md): the program downloads a product larger than one
# stream part through a seeded hostile network (tools/store/chaos_proxy.py), killed
# hard at seeded moments and started again, to its install screen; then every byte is
# compared. Prints a table, keeps it as JSON in BUILD/bench-results/soak.json, and fails
# on a differing byte, a restart that asks for anything but the bytes on disk, or a
# standstill longer than the stall limit plus the reconnect delay plus a margin.
#
# Usage: bench/soak.sh                    about 10-15 minutes
#        QV_SOAK_QUICK=1 bench/soak.sh    a few minutes, same checks, same table
#   QV_SOAK_SEED, QV_SOAK_MB, QV_SOAK_FAULT_EVERY_MB, QV_SOAK_KILL_EVERY_S, ...
#   (bench/README.md lists them); QV_SOAK_BUILD: build tree (default build/windows)
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(realpath -m "${QV_SOAK_BUILD:-build/windows}")

tools/bootstrap.sh
targets=(quarryvale-downloader qv-driver qv-trust-ca qv-demo-installer)
bench/build-missing.sh "$build" "${targets[@]}"

limit=${QV_SOAK_TIMEOUT_S:-2400}
[ "${QV_SOAK_QUICK:-}" = 1 ] && [ -z "${QV_SOAK_TIMEOUT_S:-}" ] && limit=900
# A bound inside the sandbox lets the soak end what it started; the one outside ends a
# stuck sandbox. A Wine prefix of its own: a sandbox starting on the tests' prefix
# meanwhile would end this one's wineserver.
timeout -k 10 $((limit + 120)) \
    tests/sandbox.sh "$build/soak-prefix" \
    timeout -k 10 $((limit + 60)) python3 bench/soak.py "$build"
