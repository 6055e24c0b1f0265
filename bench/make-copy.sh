#!/usr/bin/env bash
# How long the store takes to make one buyer's copy (tools/store/make-copy: stamp, sign,
# verify) of the release program, as a store does at each sale. Builds what is missing
# (the release program, the native stamping tool), makes a throwaway authority and
# code-signing certificate, makes QV_BENCH_COPIES copies (default 20) one after another
# and prints the median, the fastest and the slowest, the CPU time a copy costs, and the
# load average before and after (the machine may be shared).
#
# Usage: bench/make-copy.sh       from the repository's root, as on Debian 12
set -euo pipefail
cd "$(dirname "$0")/.."
copies=${QV_BENCH_COPIES:-20}

tools/bootstrap.sh
[ -x build/native/bin/quarryvale-stamp ] ||
    { cmake --preset native >/dev/null && cmake --build --preset native --target quarryvale-stamp; }
[ -f build/release/bin/quarryvale-downloader.exe ] ||
    { cmake --preset release >/dev/null && cmake --build --preset release; }

work=$(mktemp -d /tmp/qv-bench-copy-XXXXXX)
trap 'rm -rf "$work"' EXIT
tools/store/make-certs.sh "$work/certs" localhost
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# Debian's own interpreter, as on a store's machine (a shim in PATH may add its own
# start-up to every copy).
/usr/bin/python3 - "$work" "$copies" <<'EOF'
import os, resource, statistics, subprocess, sys, time

work, copies = sys.argv[1], int(sys.argv[2])
certs = os.path.join(work, "certs")
times = []
for i in range(copies):
    started = time.perf_counter()
    subprocess.run(["tools/store/make-copy",
                    "build/release/bin/quarryvale-downloader.exe", f"{work}/copy-{i}.exe",
                    f"Bench{i:03d}", "4711", "--cert", f"{certs}/signer.pem",
                    "--key", f"{certs}/signer.key", "--ca", f"{certs}/ca.pem"], check=True)
    times.append((time.perf_counter() - started) * 1000)
    os.remove(f"{work}/copy-{i}.exe")
used = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"copies: {copies} of {os.path.getsize('build/release/bin/quarryvale-downloader.exe')} bytes")
print(f"ms a copy: median {statistics.median(times):.0f}, fastest {min(times):.0f}, "
      f"slowest {max(times):.0f}; {1000 / statistics.median(times):.1f} copies a second")
print(f"CPU ms a copy (all processes): {(used.ru_utime + used.ru_stime) * 1000 / copies:.0f}")
EOF
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
