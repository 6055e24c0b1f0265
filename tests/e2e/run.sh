#!/usr/bin/env bash
# Runs the end-to-end groups (tests/e2e/test_*.py, or the ones named), one after another,
# each in a sandbox of its own: its own network namespace, X display and wineserver, in
# the build tree's Wine prefix. Each group has a time limit inside the sandbox (so the
# harness can still end what it started) and a second one outside it (so a stuck
# sandbox is ended too). Ends with a line in ctest's form that tests/run-all.sh counts.
#
# Usage: tests/e2e/run.sh [GROUP...]     e.g. tests/e2e/run.sh test_driver
set -uo pipefail
cd "$(dirname "$0")/../.."

build=build/windows
results=$build/e2e-results
group_timeout=${QV_E2E_GROUP_TIMEOUT:-240}
rm -rf "$results" "$build/e2e-screenshots" "$build/e2e-work"
mkdir -p "$results"

if [ $# -gt 0 ]; then
    groups=("$@")
else
    groups=()
    for file in tests/e2e/test_*.py; do
        groups+=("$(basename "$file" .py)")
    done
fi

started=$(date +%s)
passed=0
failed=0
waiting=0
for group in "${groups[@]}"; do
    echo "--- e2e group $group"
    group_started=$(date +%s)
    timeout -k 10 $((group_timeout + 60)) \
        tests/sandbox.sh "$build/wineprefix" \
        timeout -k 10 "$group_timeout" python3 "tests/e2e/$group.py"
    status=$?
    counts=$results/$group.json
    if [ -f "$counts" ]; then
        read -r tests bad wait < <(python3 -c \
            'import json,sys; c=json.load(open(sys.argv[1])); print(c["tests"], c["failed"], c["waiting"])' \
            "$counts")
    else
        # The group never reported: it crashed or ran out of time.
        tests=1 bad=1 wait=0
    fi
    if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then
        echo "e2e group $group ended with status $status"
        bad=1
        tests=$((tests + 1))
    fi
    passed=$((passed + tests - bad))
    failed=$((failed + bad))
    waiting=$((waiting + wait))
    echo "--- e2e group $group: $((tests - bad)) passed, $bad failed, $wait waiting," \
        "$(($(date +%s) - group_started)) s"
done

total=$((passed + failed))
echo "e2e wall time: $(($(date +%s) - started)) s; screenshots in $build/e2e-screenshots"
if [ "$waiting" -gt 0 ]; then
    echo "e2e: $waiting tests waiting for build/windows/bin/quarryvale-downloader.exe"
fi
percent=100
if [ "$total" -gt 0 ]; then
    percent=$((passed * 100 / total))
fi
echo "$percent% tests passed, $failed tests failed out of $total"
[ "$failed" -eq 0 ] && [ "$total" -gt 0 ]
