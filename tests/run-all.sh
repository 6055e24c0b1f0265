#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds both presets and runs every
# tier (native unit tests, Windows tests under Wine, a bounded fuzzing run, the release
# build's size and imports). Every tier runs even when an earlier one fails; the exit
# status says whether all passed.
set -uo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

tools/bootstrap.sh || exit 1

set -e
cmake --preset native >/dev/null
cmake --build --preset native
cmake --preset windows >/dev/null
cmake --build --preset windows
set +e

logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"
failed_tiers=()

run_tier() {
    local name=$1
    shift
    echo "=== $name"
    if ! "$@" 2>&1 | tee "$logs/$name.log"; then
        failed_tiers+=("$name")
    fi
}

run_tier native ctest --preset native
run_tier windows tests/sandbox.sh build/windows/wineprefix ctest --preset windows
run_tier e2e tests/e2e/run.sh
run_tier fuzz tests/fuzz/run.sh 45
run_tier release tests/release/run.sh

# One closing line over every ctest tier.
passed=0
failed=0
while read -r line; do
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
done < <(grep -hE 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$logs"/*.log)

echo "=== wall time: $(($(date +%s) - started)) s"
if [ ${#failed_tiers[@]} -gt 0 ]; then
    echo "failed tiers: ${failed_tiers[*]}"
    echo "tests: $passed passed, $((failed > 0 ? failed : 1)) failed"
    exit 1
fi
echo "tests: $passed passed, $failed failed"
