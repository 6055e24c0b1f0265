"""The download side for end-to-end groups: products made and published into a web root,
nginx (tools/store/nginx.py) as the download server and the fault-injecting server
(tools/store/fault_server.py), both started through the test class's spawn_server inside
the group's namespace, so they are ended by pid."""

import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

from harness import REPO, poll

TOOLS = os.path.join(REPO, "tools", "store")
sys.path.append(TOOLS)  # after tests/e2e: its store.py is not this one
import publish  # noqa: E402  (tools/store/publish.py)

PART_SIZE = publish.PART_SIZE
BLOCK = 1 << 20
MARK = 4096


def pattern(name, start, end):
    """Bytes [start, end) of the content make_product gives the file name: pseudo-random,
    never repeating, different for every name."""
    chunks = []
    for block in range(start // BLOCK, -(-end // BLOCK)):
        data = hashlib.shake_128(f"{name}/{block}".encode()).digest(BLOCK)
        chunks.append(data[max(0, start - block * BLOCK):end - block * BLOCK])
    return b"".join(chunks)


def make_product(directory, files, sparse_from=None):
    """Writes the source files: (name, size) gets pattern content, (name, bytes) those
    bytes. A file of at least sparse_from bytes is a hole but for its first and last
    4096 bytes. Returns the names in order."""
    for name, content in files:
        path = os.path.join(directory, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            if isinstance(content, bytes):
                f.write(content)
            elif sparse_from is not None and content >= sparse_from:
                f.truncate(content)
                f.write(pattern(name, 0, min(MARK, content)))
                f.seek(max(0, content - MARK))
                f.write(pattern(name, max(0, content - MARK), content))
            else:
                for start in range(0, content, BLOCK):
                    f.write(pattern(name, start, min(content, start + BLOCK)))
    return [name for name, _ in files]


NSIS_SCRIPT = os.path.join(REPO, "tools", "nsis-installer", "installer.nsi")


def nsis_installer(output, payload_dir, install_dir, name="Quarry Quest", silent=True,
                   beside=None):
    """Builds a real 64-bit NSIS installer (tools/nsis-installer/installer.nsi, Debian's
    makensis) that carries the files of payload_dir and unpacks them into install_dir (a
    Windows path); silent: no window; beside: a folder next to it copied in as well.
    Returns its bytes."""
    args = ["makensis", "-V2", "-NOCD", f"-DOUTFILE={output}", f"-DNAME={name}",
            f"-DPAYLOAD={payload_dir}", f"-DINSTALL_DIR={install_dir}"]
    args += ["-DSILENT"] if silent else []
    args += [f"-DBESIDE={beside}"] if beside else []
    subprocess.run(args + [NSIS_SCRIPT], check=True, timeout=300, stdout=subprocess.DEVNULL)
    with open(output, "rb") as f:
        return f.read()


def publish_product(source_dir, names, webroot, path="/products/quest"):
    """Publishes the product's parts; returns ([(name, size), ...], total)."""
    return publish.publish(source_dir, names, webroot, path)


def product_fields(files, server="127.0.0.1/products/quest", title="Quarry Quest",
                   installer="setup.exe", hashes=None):
    """The store's "products" entry for a published product: title, installer, server,
    then each file's name and size, and its "sha256:" field when hashes are given."""
    fields = [title, installer, server]
    for index, (name, size) in enumerate(files):
        fields += [name, str(size)]
        if hashes is not None:
            fields.append("sha256:" + hashes[index])
    return fields


def file_hashes(source_dir, names):
    """Each published file's SHA-256 (hexadecimal), as the store vouches for it."""
    return publish.file_hashes(source_dir, names)


def part_file(webroot, path, index):
    """The file of stream part index (0 is PATH, 1 is PATH.2, ...)."""
    return publish.part_file(webroot, path, index)


# The HTTPS download server's name and address, which tests/sandbox.sh maps in the
# sandbox's own /etc/hosts; its certificate is the store's, which names it too.
SECURE_HOST = os.environ.get("QV_DOWNLOAD_HOST", "downloads.test")
SECURE_ADDRESS = os.environ.get("QV_DOWNLOAD_ADDRESS", "127.0.0.3")


def _spawn(case, script, webroot, address, port, state, extra=()):
    ready = os.path.join(state, "ready")
    case.spawn_server(["/usr/bin/python3", os.path.join(TOOLS, script), "--webroot", webroot,
                       "--state", state, "--address", address, "--port", str(port), *extra],
                      ready=lambda: os.path.exists(ready))
    return state


def start_nginx(case, webroot, address="127.0.0.1", port=80, tls=None, sndbuf=None,
                status=None):
    """Starts nginx on the web root, over HTTPS with tls=(certificate, key), with a send
    buffer of sndbuf (e.g. "128k") per connection, answering status to everything if
    given; returns its state directory."""
    extra = ["--tls", *tls] if tls else []
    extra += ["--sndbuf", sndbuf] if sndbuf else []
    extra += ["--status", str(status)] if status else []
    return _spawn(case, "nginx.py", webroot, address, port, tempfile.mkdtemp(prefix="qv-nginx-"),
                  extra)


def start_fault_server(case, webroot, address="127.0.0.2", port=80, tls=None, **faults):
    """Starts the fault server on the web root with these faults, over HTTPS with
    tls=(certificate, key); returns its state."""
    state = tempfile.mkdtemp(prefix="qv-faults-")
    configure_faults(state, **faults)
    return _spawn(case, "fault_server.py", webroot, address, port, state,
                  ["--tls", *tls] if tls else [])


def configure_faults(state, **faults):
    """Replaces the faults (none: serve normally) and restarts their count; forgets the
    requests so far, the stall signal and its release."""
    path = os.path.join(state, "config.json")
    with open(path + ".new", "w") as f:
        json.dump(faults, f)
    os.replace(path + ".new", path)
    for name in ("requests.jsonl", "stalled", "release"):
        try:
            os.remove(os.path.join(state, name))
        except FileNotFoundError:
            pass


def release(state):
    """Lets a stalled answer go on (or close, as configured)."""
    open(os.path.join(state, "release"), "w").close()


def wait_stalled(state, timeout=10):
    """Waits (bounded) until the fault server has stalled an answer; returns whether."""
    return wait_for(lambda: os.path.exists(os.path.join(state, "stalled")), timeout)


def wait_for(condition, timeout=10):
    return poll(condition, timeout, every=0.02) is not None


def _lines(path):
    try:
        with open(path) as f:
            return [json.loads(line) for line in f if line.endswith("\n")]
    except FileNotFoundError:
        return []


def fault_requests(state):
    """The fault server's requests since configure_faults, in arrival order: id, method,
    path, headers, range (or None), status, faulty, at (its arrival), and sent (body
    bytes) and ended (None while the answer is still going). Times are the system's
    monotonic clock, time.monotonic() here too."""
    requests, by_id = [], {}
    for entry in _lines(os.path.join(state, "requests.jsonl")):
        if "method" in entry:
            entry["sent"] = entry["ended"] = None
            by_id[entry["id"]] = entry
            requests.append(entry)
        elif entry["id"] in by_id:
            by_id[entry["id"]].update(sent=entry["sent"], ended=entry["ended"])
    return requests


def nginx_requests(state):
    """nginx's finished requests: method, path, range (or None), status, bytes (body
    bytes sent), bytes_total (with the headers), msec (when it ended, seconds since the
    epoch), request_time (seconds it took)."""
    entries = _lines(os.path.join(state, "access.log"))
    for entry in entries:
        entry["range"] = entry["range"] or None
    return entries


def remove_state(*directories):
    for directory in directories:
        if directory:
            shutil.rmtree(directory, ignore_errors=True)
