"""What the benchmarks share: the end-to-end modules (tests/e2e) on the import path, and
pointed at the build tree a benchmark runs in, which need not be the one they know."""

import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import harness  # noqa: E402
import store  # noqa: E402


def use(argv):
    """The build tree named by argv[1] (default: the tests' own); returns (BUILD, BIN)."""
    build = os.path.abspath(argv[1] if len(argv) > 1 else harness.BUILD)
    binaries = os.path.join(build, "bin")
    harness.DRIVER = os.path.join(binaries, "qv-driver.exe")
    store.TRUST = os.path.join(binaries, "qv-trust-ca.exe")
    store.CERTS = os.path.join(build, "test-ca")
    return build, binaries
