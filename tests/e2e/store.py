"""The local store (tools/store/store.py) for end-to-end groups: started inside the
group's namespace on ports 443 and 80, its certificate made at test time and its
authority trusted by the build tree's Wine prefix only."""

import json
import os
import shutil
import subprocess
import tempfile

from harness import BIN, BUILD, REPO, win_path

STORE = os.path.join(REPO, "tools", "store", "store.py")
MAKE_CERTS = os.path.join(REPO, "tools", "store", "make-certs.sh")
MAKE_COPY = os.path.join(REPO, "tools", "store", "make-copy")
TRUST = os.path.join(BIN, "qv-trust-ca.exe")
CERTS = os.path.join(BUILD, "test-ca")


def _make_certificates(directory):
    """The store's and the HTTPS download server's certificate (the script keeps a set
    that is already complete)."""
    subprocess.run([MAKE_CERTS, directory, "localhost", os.environ["QV_DOWNLOAD_HOST"]],
                   check=True, timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def signed_copy(program, token, product):
    """A buyer's copy of program beside it, made as a store makes it: stamped and signed
    with the test authority's code-signing certificate."""
    _make_certificates(CERTS)
    target = os.path.join(os.path.dirname(program), "signed-copy.exe")
    subprocess.run([MAKE_COPY, program, target, token, product, "--ca", f"{CERTS}/ca.pem",
                    "--cert", f"{CERTS}/signer.pem", "--key", f"{CERTS}/signer.key"],
                   check=True, timeout=60, stdout=subprocess.DEVNULL)
    return target


def _trust(ca_pem):
    env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    subprocess.run(["wine", TRUST, win_path(ca_pem)], check=True, timeout=120, env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def start_store(case, trusted=True, http_port=80, **config):
    """Starts the store for a test class (through its spawn_server, so it is ended by pid)
    with an initial configuration; returns its state directory. trusted=False serves a
    certificate from an authority the prefix has never seen; http_port=0 leaves port 80
    of 127.0.0.1 to the download server."""
    if trusted:
        certs = CERTS
        _make_certificates(certs)
        _trust(os.path.join(certs, "ca.pem"))
    else:
        certs = tempfile.mkdtemp(prefix="qv-untrusted-")
        _make_certificates(certs)
    state = tempfile.mkdtemp(prefix="qv-store-")
    configure(state, **config)
    ready = os.path.join(state, "ready")
    case.spawn_server(["/usr/bin/python3", STORE, "--state", state,
                       "--cert", os.path.join(certs, "server.pem"),
                       "--key", os.path.join(certs, "server.key"),
                       "--http-port", str(http_port)],
                      ready=lambda: os.path.exists(ready))
    return state


def remove_state(state):
    if state:
        shutil.rmtree(state, ignore_errors=True)


def configure(state, **config):
    """Replaces the store's configuration; forgets the requests recorded so far."""
    path = os.path.join(state, "config.json")
    with open(path + ".new", "w") as f:
        json.dump(config, f)
    os.replace(path + ".new", path)
    try:
        os.remove(os.path.join(state, "requests.jsonl"))
    except FileNotFoundError:
        pass


def requests(state):
    """Every request since the last configure: method, path, headers, body, fields."""
    try:
        with open(os.path.join(state, "requests.jsonl")) as f:
            return [json.loads(line) for line in f]
    except FileNotFoundError:
        return []


# A store that never answers keeps the program on the sign-in screen's token phase.
SILENT = {"force": {"stall_before_headers": True, "stall_seconds": 600}}
