#!/usr/bin/env bash
# The download benchmark (bench/README.md): the program against a bare WinINet loop, the
# same loop with the program's per-read hand-off, and curl, on one product served by
# nginx; then the About box's latency mid-download, the peak working set and the resume
# scan. Not part of the tests: it prints figures and fails only if a download goes wrong.
#
# Usage: bench/download.sh
#   QV_BENCH_BUILD     build tree (default build/windows); what is missing there is built
#   QV_BENCH_MB        product size in MB of 10^6 bytes (default 1000, at most 2000)
#   QV_BENCH_SMALL_MB  the small product of the working-set comparison (default 100)
#   QV_BENCH_RUNS      runs of each download and of the scan (default 3)
#   QV_BENCH_FILES     complete files the resume scan finds (default 10000)
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(realpath -m "${QV_BENCH_BUILD:-build/windows}")

tools/bootstrap.sh
# curl is the yardstick from outside Wine; the tests themselves never need it.
if ! command -v curl >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends curl >/dev/null
fi

targets=(quarryvale-downloader qv-driver qv-trust-ca download_loop net_bench)
bench/build-missing.sh "$build" "${targets[@]}"

# A bound inside the sandbox lets the benchmark end what it started; the one outside
# ends a stuck sandbox.
timeout -k 10 2460 \
    tests/sandbox.sh "$build/wineprefix" \
    timeout -k 10 2400 python3 bench/download.py "$build"
