#!/usr/bin/env python3
"""The chaos soak. bench/soak.sh runs it inside tests/sandbox.sh, so the store (port
443), nginx over HTTPS (127.0.0.1:8443, and two more that answer 500 and 503), the chaos
proxy in front of it as the download server downloads.test (127.0.0.3:443), the Wine
prefix's wineserver and the X display are this run's own. QV_SOAK_HTTP=1 downloads over
plain HTTP instead (nginx on 127.0.0.1:80, the proxy on 127.0.0.5:80), where the proxy
also flips a byte now and then.

A product of several sparse files larger than one stream part, with the demo installer
as "launch", whose store gives each file's SHA-256, is downloaded by the program through
the proxy and the GUI driver, as in
the end-to-end tier; error boxes are answered and the download unpaused as a person
would; at seeded random moments the program is killed hard and started again. Once the
install screen shows and the installer has ended, every byte is compared and the
finished screen removes the files. It prints a table, writes it as JSON, and fails when
a byte differs, a restart asks for anything but the bytes on disk, or the download
stands still for longer than the stall limit plus the reconnect delay plus a margin.

Usage: soak.py BUILD_DIR; settings come from QV_SOAK_* (bench/README.md).
"""

import collections
import json
import os
import platform
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import build_tree  # first: it puts tests/e2e on the import path
import chaos  # noqa: E402
import downloads  # noqa: E402
import harness  # noqa: E402
import store  # noqa: E402
from download_case import TITLE, DownloadTestCase  # noqa: E402
from test_sign_in import PRODUCT, TOKEN  # noqa: E402

BUILD, BIN = build_tree.use(sys.argv)
WORK = os.path.join(BUILD, "soak-work")
RESULTS = os.path.join(BUILD, "bench-results", "soak.json")
KEPT = os.path.dirname(RESULTS)
WINE_LOG = os.path.join(KEPT, "soak-wine.log")
CAPTURE = os.path.join(KEPT, "soak-capture")
harness.WORK = WORK  # the program's copy, and so its downloaded files, live here
MB = 1_000_000
URL_PATH = "/products/soak"
REMOVE = "Remove temporary files (Recommended if installation was successful)"

QUICK = os.environ.get("QV_SOAK_QUICK") == "1"
PLAIN = os.environ.get("QV_SOAK_HTTP") == "1"


def setting(name, default, quick=None):
    value = os.environ.get("QV_SOAK_" + name)
    if value is None:
        value = quick if QUICK and quick is not None else default
    return value


SIZE = int(float(setting("MB", 2200, 2050)) * MB)
SEED = setting("SEED", str(random.SystemRandom().randrange(10**6)))
FAULT_EVERY = float(setting("FAULT_EVERY_MB", 20, 60)) * MB
KILL_EVERY = float(setting("KILL_EVERY_S", 40, 30))
STALL_LIMIT = float(setting("STALL_LIMIT_S", 60))
# Wine's messages of the driver and every copy it starts, each line with the time: an
# abort inside the platform says where it happened.
WINEDEBUG = setting("WINEDEBUG", "+pid,err+all,warn+wininet,warn+secur32")
# A packet capture of the proxy's two sides (the last 4 GB): what the program's system
# received, to hold against the proxy's own hashes (bench/soak_streams.py).
CAPTURING = setting("CAPTURE", "0") == "1"
TIMEOUT = float(setting("TIMEOUT_S", 2400, 900))
PROXY = {
    "latency_ms": [float(v) for v in setting("LATENCY_MS", "20 300").split()],
    "rate": [float(v) * MB for v in setting("RATE_MB", "10 60").split()],
    "fault_every": FAULT_EVERY,
    "status_rate": float(setting("STATUS_RATE", 0.08)),
    "reset_rate": float(setting("RESET_RATE", 0.9, 0.92)),
    "long_stall_rate": float(setting("LONG_STALL_RATE", 0.02, 0)),
    "long_stall": STALL_LIMIT + 15,
    "stall_rate": float(setting("STALL_RATE", 0.25)),
    "stall": [float(v) for v in setting("STALL_S", "1 12").split()],
    # Plays on plain HTTP only; the hashes must catch every one.
    "flip_rate": float(setting("FLIP_RATE", 0.05)),
}
RECONNECT_DELAY, MARGIN = 5, 15
STANDSTILL_LIMIT = STALL_LIMIT + RECONNECT_DELAY + MARGIN
GOALS = {"faults": 100, "restarts": 10, "waste_per_fault": MB, "handle_growth": 10,
         "peak_working_set": 64 << 20}


def say(text):
    print(f"soak: {text}", flush=True)


def layout():
    """The product: the bulk in four files, the part boundary inside the last."""
    shares = [("data/levels/world.pak", 40), ("data/textures/terrain.pak", 30),
              ("data/sound/music.pak", 20), ("movies/intro.bin", 10)]
    return [(name, SIZE * share // 100) for name, share in shares]


def make_sources(directory):
    """Sparse files with 4 KiB of their own pattern at every MiB, so a byte in the wrong
    place shows, made once per layout and kept; then the installer and its settings."""
    big = layout()
    made = os.path.join(directory, "layout.json")
    try:
        with open(made) as f:
            reuse = json.load(f) == [list(entry) for entry in big]
    except (OSError, ValueError):
        reuse = False
    if not reuse:
        shutil.rmtree(directory, ignore_errors=True)
        for name, size in big:
            path = os.path.join(directory, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.truncate(size)
                for start in list(range(0, size, 1 << 20)) + [max(0, size - 4096)]:
                    f.seek(start)
                    f.write(downloads.pattern(name, start, min(size, start + 4096)))
        with open(made, "w") as f:
            json.dump(big, f)
    with open(os.path.join(BIN, "qv-demo-installer.exe"), "rb") as f:
        installer = f.read()
    small = [("launch", installer),
             ("installer.txt", f"title={TITLE} Setup\nclose_after_ms=3000\n".encode()),
             ("readme.txt", b"Quarry Quest: dig deep, build high.\r\n")]
    downloads.make_product(directory, small)
    return [name for name, _ in big + small]


class Soak(DownloadTestCase):
    """The end-to-end tier's program handling, for one long run."""

    more_nginx = []

    @classmethod
    def start_servers(cls):
        read_end, write_end = os.pipe()
        threading.Thread(target=keep_wine_log, args=(read_end,), daemon=True).start()
        cls.driver_settings = {"environment": {"WINEDEBUG": WINEDEBUG}, "stderr": write_end}
        cls.webroot = tempfile.mkdtemp(prefix="www-", dir=WORK)
        cls.store_state = store.start_store(cls, http_port=0)
        proxy_state = tempfile.mkdtemp(prefix="proxy-", dir=WORK)
        # A small send buffer: a reset then loses what a real path holds in flight.
        if PLAIN:
            cls.nginx = downloads.start_nginx(cls, cls.webroot, sndbuf="128k")
            cls.proxy = chaos.start_proxy(cls, proxy_state, SEED, **PROXY)
            cls.server = chaos.PROXY_ADDRESS + URL_PATH
            return
        tls = [os.path.join(store.CERTS, name) for name in ("server.pem", "server.key")]
        cls.nginx = downloads.start_nginx(cls, cls.webroot, port=8443, tls=tls, sndbuf="128k")
        # Inside TLS the proxy plays a 5xx by handing the connection to a server that
        # answers it.
        statuses = {}
        for status in (500, 503):
            cls.more_nginx.append(downloads.start_nginx(cls, cls.webroot, port=8000 + status,
                                                        tls=tls, status=status))
            statuses[status] = f"127.0.0.1:{8000 + status}"
        cls.proxy = chaos.start_proxy(cls, proxy_state, SEED, upstream="127.0.0.1:8443",
                                      address=downloads.SECURE_ADDRESS, port=443,
                                      status_upstream=statuses, **PROXY)
        cls.server = f"https://{downloads.SECURE_HOST}{URL_PATH}"

    @classmethod
    def tearDownClass(cls):
        super(DownloadTestCase, cls).tearDownClass()

    def soak(self):
        pass


def keep_wine_log(read_end):
    """Copies Wine's messages into WINE_LOG, each line after its arrival time."""
    os.makedirs(KEPT, exist_ok=True)
    with open(read_end, "rb", buffering=0) as source, open(WINE_LOG, "wb") as log:
        for line in source:
            log.write(b"%.3f " % time.time() + line)
            log.flush()


def start_capture():
    """tcpdump on loopback, both sides of the proxy, in a ring of 8 files of 512 MB."""
    shutil.rmtree(CAPTURE, ignore_errors=True)
    os.makedirs(CAPTURE)
    if PLAIN:
        sides = f"(host {chaos.PROXY_ADDRESS} and port 80) or (host 127.0.0.1 and port 80)"
    else:
        sides = f"(host {downloads.SECURE_ADDRESS} and port 443) or (host 127.0.0.1 and port 8443)"
    process = subprocess.Popen(
        ["tcpdump", "-Z", "root", "-i", "lo", "-s", "0", "-B", "65536", "--immediate-mode",
         "-U", "-C", "512", "-W", "8", "-w", os.path.join(CAPTURE, "lo.pcap"),
         f"tcp and ({sides})"],
        stdout=subprocess.DEVNULL, stderr=open(os.path.join(CAPTURE, "tcpdump.txt"), "w"))
    if not harness.poll(lambda: "listening" in open(os.path.join(CAPTURE, "tcpdump.txt")).read(),
                        10):
        stop_capture(process)
        raise SystemExit(f"soak: tcpdump did not start: see {CAPTURE}/tcpdump.txt")
    return process


def stop_capture(process):
    if process is None:
        return
    time.sleep(1.5)  # what the system still holds for it, the last moments included
    process.terminate()
    try:
        process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def proxy_streams(connections, flipped):
    """What the proxy's own accounts say of the streams it passed on: connections whose
    whole server stream went through with a different hash (but for those where it
    flipped a byte on purpose), that a reset cut with bytes unsent, or whose bytes to the
    program stopped being TLS records."""
    whole = [c for c in connections if c.get("from_upstream") == c["down"] and c["down"]
             and c["connection"] not in flipped]
    return {
        "connections": len(connections),
        "whole_streams_checked": len(whole),
        "hash_differs": [c["connection"] for c in whole
                         if c["from_upstream_sha256"] != c["down_sha256"]],
        "more_forwarded_than_received": [c["connection"] for c in connections
                                         if c["down"] > c.get("from_upstream", c["down"])
                                         and c.get("ended") != "status"],
        "unsent_at_reset": [c["connection"] for c in connections if c.get("unsent")],
        "not_records": [c["connection"] for c in connections
                        if (c.get("records") or {}).get("bad_at") is not None],
    }


def kill_schedule():
    """Seeded moments (seconds since the start) at which the program is killed."""
    rng = random.Random(f"{SEED}/kills")
    moments, at = [], 0.0
    while at < TIMEOUT:
        at += rng.uniform(0.3, 1.7) * KILL_EVERY
        moments.append(at)
    return moments


class Samples:
    """The program's handles and peak working set, read through the driver: per process
    life, the first and the last sample taken while it was downloading."""

    def __init__(self, driver):
        self.driver, self.lives, self.peak = driver, {}, 0

    def __call__(self, pid, status):
        try:
            reply = self.driver.call("process", pid)
        except harness.DriverError:
            return
        self.peak = max(self.peak, reply["peak_working_set"])
        if status.startswith("Downloading at"):
            life = self.lives.setdefault(pid, {})
            life.setdefault("start", reply["handles"])
            life["end"] = reply["handles"]


def finish(case, pid, hwnd, listed, sources):
    """From the install screen: the installer ends by itself, then the finished screen;
    every byte compared there, and OK with "Remove temporary files"."""
    heading = f"Installation finished - {TITLE}"

    def finished_screen():
        texts = {c["text"]: c for c in case.controls(hwnd)}
        return all(t in texts for t in (heading, REMOVE, "OK")) and texts

    texts = case.wait_for(finished_screen, 120, "the finished screen")
    differing = compare(case.product_dir(), listed, sources)
    case.driver.call("click", texts[REMOVE]["hwnd"])
    case.wait_for(lambda: {c["text"]: c for c in case.controls(hwnd)}[REMOVE]["checked"], 5,
                  "the choice to remove")
    case.driver.call("click", texts["OK"]["hwnd"])
    ended = case.wait_exit(pid, 30000)
    removed = not os.path.exists(case.product_dir())
    return differing, ended.get("code"), removed


def compare(product_dir, listed, sources):
    """Names of the files that differ from the published ones in any byte."""
    differing = []
    for name, size in listed:
        got = os.path.join(product_dir, *name.split("/"))
        if not os.path.exists(got) or os.path.getsize(got) != size:
            differing.append(name)
            continue
        with open(got, "rb") as a, open(os.path.join(sources, *name.split("/")), "rb") as b:
            while block := b.read(4 << 20):
                if a.read(4 << 20) != block:
                    differing.append(name)
                    break
    return differing


def next_connection_after(stalls, connections, restarts):
    """For each stall that no kill cut short: (seconds until the program opened its next
    connection, the stall's length). Under Wine a connection the program gave up on can
    stay open while the platform still drains it, so the next one tells, not the close."""
    starts = sorted(c["start"] for c in connections)
    kills = [r["time"] for r in restarts]
    seen = []
    for stall in stalls:
        later = [t for t in starts if t > stall["time"]]
        if not later or any(stall["time"] - 1 <= k <= later[0] + 1 for k in kills):
            continue
        seen.append((round(later[0] - stall["time"], 1), stall["seconds"]))
    return seen


def machine():
    with open("/proc/cpuinfo") as f:
        model = next((line.split(":", 1)[1].strip() for line in f
                      if line.startswith("model name")), "unknown")
    return {"cores": os.cpu_count(), "cpu": model, "system": platform.platform()}


def summarise(drive, samples, listed, total, seconds, differing, code, removed, nginx, proxy):
    faults = chaos.faults(proxy)
    kinds = collections.Counter(f["kind"] for f in faults)
    statuses = collections.Counter(f["status"] for f in faults if f["kind"] == "status")
    disruptive = sum(kinds[k] for k in chaos.DISRUPTIVE)
    # A restart's first request may have met a 5xx server.
    requests = downloads.nginx_requests(nginx)
    checked = requests + [r for state in Soak.more_nginx for r in downloads.nginx_requests(state)]
    product = [r for r in requests if r["path"] == URL_PATH or r["path"].startswith(URL_PATH + ".")]
    chaos.check_restarts(drive.restarts, checked, URL_PATH, total)
    sent = sum(r["bytes"] for r in product)
    connections = chaos.connections(proxy)
    delivered = sum(c["down"] for c in connections)
    lives = list(samples.lives.values())
    growth = max((life["end"] - life["start"] for life in lives), default=None)
    stalls = [f for f in faults if f["kind"] == "stall"]
    long_stalls = [f for f in faults if f["kind"] == "long_stall"]
    waste = sent - total
    return {
        "command": ("QV_SOAK_QUICK=1 " if QUICK else "") + ("QV_SOAK_HTTP=1 " if PLAIN else "")
        + "bench/soak.sh", "transport": "HTTP" if PLAIN else "HTTPS",
        "seed": SEED, "machine": machine(), "settings": PROXY,
        "size": total, "files": len(listed),
        "wall_seconds": round(seconds, 1),
        "faults": dict(kinds), "statuses": {str(k): v for k, v in statuses.items()},
        "faults_disruptive": disruptive,
        "reconnects_on_screen": drive.reconnects,
        "pauses_on_screen": len(drive.boxes),
        "restarts": len(drive.restarts),
        "server_bytes": sent, "proxy_bytes_to_program": delivered,
        "waste_bytes": waste,
        "waste_per_fault": round(waste / max(1, disruptive + len(drive.restarts))),
        "requests": len(product),
        "longest_standstill_s": round(drive.standstill, 1),
        "standstill_limit_s": STANDSTILL_LIMIT,
        "peak_working_set": samples.peak,
        "handles_first": lives[0]["start"] if lives else None,
        "handles_last": lives[-1]["end"] if lives else None,
        "handle_growth_in_one_life": growth,
        "short_stalls_given_up": [x for x in next_connection_after(
            stalls, connections, drive.restarts) if x[0] < x[1]],
        "long_stalls_next_connection_after_s": [x[0] for x in next_connection_after(
            long_stalls, connections, drive.restarts)],
        "restart_checks": drive.restarts,
        "differing_files": differing, "exit_code": code, "files_removed": removed,
        "exits": drive.exits,
        "ended_by_itself": [e for e in drive.exits
                            if not e["killed"] and not e.get("finished")],
        "proxy_streams": proxy_streams(
            connections, {f["connection"] for f in faults if f["kind"] == "flip"}),
    }


def unasked_note(checks):
    unasked = sum(x.get("unasked", False) for x in checks)
    return f" ({unasked} killed again before asking)" if unasked else ""


def report(r):
    mib = 1 << 20
    rows = [
        ("wall time", f"{r['wall_seconds'] / 60:.1f} min", ""),
        ("product", f"{r['size'] / 1e9:.2f} GB in {r['files']} files", ""),
        ("faults played (reset, stall, long stall, 5xx)", r["faults_disruptive"],
         f">= {GOALS['faults']}"),
        ("  by kind", ", ".join(f"{k} {v}" for k, v in sorted(r["faults"].items())), ""),
        ("  5xx", ", ".join(f"{k}: {v}" for k, v in sorted(r["statuses"].items())), ""),
        ("bytes flipped in transit (plain HTTP), all caught", r["faults"].get("flip", 0),
         ">= 1 over HTTP; 0 bytes differing"),
        ("reconnects seen on screen", r["reconnects_on_screen"], ""),
        ("pauses (error boxes answered)", r["pauses_on_screen"], ""),
        ("restarts (killed hard)", r["restarts"], f">= {GOALS['restarts']}"),
        ("restarts resuming at exactly the bytes on disk",
         f"{sum(x['exact'] for x in r['restart_checks'])} of {r['restarts']}"
         + unasked_note(r["restart_checks"]), "all"),
        ("bytes differing", "none" if not r["differing_files"] else r["differing_files"], "0"),
        ("server bytes / product", f"{r['server_bytes'] / r['size']:.4f}", ""),
        ("waste per fault or kill", f"{r['waste_per_fault'] / 1e6:.2f} MB", "< 1 MB"),
        ("longest time without a new byte of the product", f"{r['longest_standstill_s']} s",
         f"< {r['standstill_limit_s']:.0f} s"),
        ("short stalls the program gave up on", len(r["short_stalls_given_up"]), "0"),
        ("long stalls: next connection after (s)", r["long_stalls_next_connection_after_s"]
         or "-", f"{STALL_LIMIT:.0f} + 5"),
        ("peak working set", f"{r['peak_working_set'] / mib:.1f} MiB", "< 64 MiB"),
        ("handles, first / last / most growth in one process",
         f"{r['handles_first']} / {r['handles_last']} / {r['handle_growth_in_one_life']}",
         "growth <= 10"),
        ("copies that ended by themselves (exit codes)",
         [e["code"] for e in r["ended_by_itself"]] or "none", "none"),
        ("proxy: whole streams passed on with the same hash",
         f"{r['proxy_streams']['whole_streams_checked'] - len(r['proxy_streams']['hash_differs'])}"
         f" of {r['proxy_streams']['whole_streams_checked']}", "all"),
        ("proxy: streams that stopped being TLS records",
         r["proxy_streams"]["not_records"] or "none", "none"),
        ("finished screen removed the files", r["files_removed"], ""),
    ]
    width = max(len(str(row[0])) for row in rows)
    value_width = max(len(str(row[1])) for row in rows)
    print(f"\nSoak with seed {r['seed']} ({r['command']}), {r['machine']['cores']} cores, "
          f"{r['machine']['cpu']}, load {r['load_before']} before, {r['load_after']} after")
    for name, value, goal in rows:
        print(f"  {name:<{width}}  {str(value):<{value_width}}  {goal}")


def verdict(r):
    problems = [r["failure"]] if r["failure"] else []
    if r["differing_files"]:
        problems.append(f"bytes differ in {r['differing_files']}")
    wrong = [x for x in r["restart_checks"] if not x["exact"]]
    if wrong:
        problems.append(f"restarts asked for something else than the bytes on disk: {wrong}")
    if r["longest_standstill_s"] > r["standstill_limit_s"]:
        problems.append("the download stood still too long")
    for e in r["ended_by_itself"]:
        problems.append(f"a copy ended by itself with code {e['code']} (Wine's messages: "
                        f"{WINE_LOG})")
    streams = r["proxy_streams"]
    if streams["hash_differs"] or streams["not_records"] or \
            streams["more_forwarded_than_received"]:
        problems.append(f"the proxy did not pass a stream on intact: {streams}")
    return problems


def on_terminate(*_):
    raise SystemExit("soak: out of time")


def main():
    signal.signal(signal.SIGTERM, on_terminate)
    if SIZE <= downloads.PART_SIZE:
        sys.exit("soak: QV_SOAK_MB must make the product cross a stream part (over 2000)")
    os.makedirs(WORK, exist_ok=True)
    for stale in os.listdir(WORK):
        if stale != "product":
            shutil.rmtree(os.path.join(WORK, stale), ignore_errors=True)
    say(f"seed {SEED}; {SIZE / 1e9:.2f} GB over {'HTTP' if PLAIN else 'HTTPS'}; a fault "
        f"every {FAULT_EVERY / MB:.0f} MB on average, a kill every {KILL_EVERY:.0f} s on average")
    load_before = [round(x, 2) for x in os.getloadavg()]
    sources = os.path.join(WORK, "product")
    names = make_sources(sources)
    case = None
    capture = None
    try:
        if CAPTURING:
            capture = start_capture()
        Soak.setUpClass()
        listed, total = downloads.publish_product(sources, names, Soak.webroot, URL_PATH)
        store.configure(Soak.store_state, tokens=[TOKEN], products={
            PRODUCT: downloads.product_fields(listed, server=Soak.server, title=TITLE,
                                              hashes=downloads.file_hashes(sources, names))})
        case = Soak("soak")
        case.setUp()
        case.program = case.copy_program("program", os.path.join(BIN, "quarryvale-downloader.exe"))
        kills = kill_schedule()

        def should_kill(seconds, _):
            if not kills or seconds < kills[0]:
                return False
            # Not during a long stall: the program must be seen to give up on it.
            recent = time.time() - PROXY["long_stall"] - 5
            if any(f["kind"] == "long_stall" and f["time"] > recent
                   for f in chaos.faults(Soak.proxy)):
                return False
            # Moments that passed meanwhile are one kill, not a burst of them.
            while kills and seconds >= kills[0]:
                kills.pop(0)
            return True

        samples = Samples(case.driver)
        drive = chaos.Drive(case, listed, should_kill, STANDSTILL_LIMIT, samples, say=say,
                            flips=lambda: sum(f["kind"] == "flip"
                                              for f in chaos.faults(Soak.proxy)))
        began = time.monotonic()
        failure = None
        try:
            drive.run()
        except AssertionError as error:  # still report what happened
            say(f"FAILED: {error}")
            failure = str(error)
        seconds = time.monotonic() - began
        if drive.final is not None:
            pid, hwnd = drive.final
            samples(pid, "")  # its peak once more, at the end
            say("install screen; the installer runs and ends by itself")
            differing, code, removed = finish(case, pid, hwnd, listed, sources)
        else:
            differing, code, removed = ["(not finished)"], None, False
        if drive.final is not None and code is not None:
            drive.exits.append({"pid": drive.final[0], "time": time.time(), "code": code,
                                "killed": False, "finished": True})
        stop_capture(capture)
        capture = None
        results = summarise(drive, samples, listed, total, seconds, differing, code, removed,
                            Soak.nginx, Soak.proxy)
        results["failure"] = failure
        results["load_before"] = load_before
        os.makedirs(os.path.dirname(RESULTS), exist_ok=True)
        for name in ("faults.jsonl", "connections.jsonl"):
            shutil.copy(os.path.join(Soak.proxy, name),
                        os.path.join(os.path.dirname(RESULTS), "soak-" + name))
        results["load_after"] = [round(x, 2) for x in os.getloadavg()]
        with open(RESULTS, "w") as f:
            json.dump(results, f, indent=1)
        report(results)
        print(f"Figures kept in {RESULTS}; Wine's messages in {WINE_LOG}")
        if CAPTURING:
            print(f"Capture in {CAPTURE}: python3 bench/soak_streams.py {KEPT}")
        problems = verdict(results)
        for problem in problems:
            say(f"FAILED: {problem}")
        return 1 if problems else 0
    finally:
        stop_capture(capture)
        if case is not None:
            case.tearDown()
        Soak.tearDownClass()
        store.remove_state(getattr(Soak, "store_state", None))
        downloads.remove_state(getattr(Soak, "nginx", None), *Soak.more_nginx)
        for name in os.listdir(WORK):
            if name != "product":
                shutil.rmtree(os.path.join(WORK, name), ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
