#!/usr/bin/env bash
# The release tier: builds the program with the release preset (build/release) and the
# stamping tool (native preset), and checks the file a buyer downloads and a buyer's
# signed copy of it (tests/release/check_release.py). A build that fails counts as one
# failed test, so the closing line always has ctest's form.
set -uo pipefail
cd "$(dirname "$0")/../.."

if ! { cmake --preset release >/dev/null && cmake --build --preset release &&
    cmake --preset native >/dev/null &&
    cmake --build --preset native --target quarryvale-stamp; }; then
    echo "release: the release build failed"
    echo "0% tests passed, 1 tests failed out of 1"
    exit 1
fi
exec python3 tests/release/check_release.py build/release/bin/quarryvale-downloader.exe
