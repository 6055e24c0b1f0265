#!/usr/bin/env bash
# A bounded fuzzing run of the sign-in response parse, seeded from the corpus kept in
# the repository; new inputs go to a working corpus in the build tree.
# Usage: tests/fuzz/run.sh SECONDS
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-45}
work=build/native/fuzz-corpus
mkdir -p "$work"
build/native/bin/response_fuzz -max_total_time="$seconds" -print_final_stats=1 \
    -timeout=10 -rss_limit_mb=2048 -artifact_prefix=build/native/ \
    "$work" tests/fuzz/corpus 2>build/native/fuzz.log
grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' build/native/fuzz.log || true
echo "fuzz: no crash in ${seconds} s"
