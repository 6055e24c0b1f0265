"""The real program through the chaos proxy (tools/store/chaos_proxy.py), driven as a
person would drive it: an error box is answered and the download unpaused, and the
program is killed hard when the caller says so and started again. Shared by the chaos
group (test_chaos.py) and the soak (bench/soak.py)."""

import os
import time

from downloads import PART_SIZE, TOOLS, _lines
from harness import DriverError, poll
from download_case import INSTALL_LINE, PAUSE_ID

PROXY_ADDRESS = "127.0.0.5"  # plain HTTP; over HTTPS the proxy takes downloads.test's
RECONNECTING = "Reconnecting in 5 seconds..."
# What a person sees: these end a connection or hold it; latency and the cap only slow it.
DISRUPTIVE = ("reset", "stall", "long_stall", "status")


def start_proxy(case, state, seed, upstream="127.0.0.1:80", address=PROXY_ADDRESS, port=80,
                **settings):
    """Starts the proxy through case.spawn_server (ended by pid); settings are its
    options without the dashes (fault_every=5e6, rate=(1e6, 4e6),
    status_upstream={503: "127.0.0.1:8503"})."""
    argv = ["/usr/bin/python3", os.path.join(TOOLS, "chaos_proxy.py"), "--state", state,
            "--address", address, "--port", str(port), "--upstream", upstream,
            "--seed", str(seed)]
    for name, value in settings.items():
        option = "--" + name.replace("_", "-")
        if isinstance(value, dict):
            for key, item in value.items():
                argv += [option, str(key), str(item)]
            continue
        argv.append(option)
        argv += [str(v) for v in value] if isinstance(value, (tuple, list)) else [str(value)]
    case.spawn_server(argv, ready=lambda: os.path.exists(os.path.join(state, "ready")))
    return state


def faults(state):
    """Every fault the proxy played: time, connection, kind, offset and its measure."""
    return _lines(os.path.join(state, "faults.jsonl"))


def connections(state):
    """Every connection the proxy has closed: up, down, ended, left_in_stall, ..."""
    return _lines(os.path.join(state, "connections.jsonl"))


def held_open(directory):
    """Whether any Linux process has a file below directory open."""
    prefix = os.path.realpath(directory) + os.sep
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            links = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
        except OSError:  # gone meanwhile
            continue
        if any(link.startswith(prefix) for link in links):
            return True
    return False


def expected_request(done, path):
    """(path, Range) of the first request of a download with done bytes on disk."""
    part, offset = divmod(done, PART_SIZE)
    return (path if part == 0 else f"{path}.{part + 1}",
            f"bytes={offset}-" if offset else None)


# A copy killed again this soon after its start, with the same bytes on disk, may not
# have reached its first request yet (start-up, sign-in and the resume scan come first).
UNASKED_S = 10


def check_restarts(restarts, requests, path, total):
    """Marks each restart with the first request nginx saw after it (requests as
    downloads.nginx_requests gives them) and whether it asked for exactly the bytes on
    disk; a restart with the whole product on disk must ask for nothing. One killed
    again within UNASKED_S with nothing changed on disk and no request is "unasked":
    nothing to judge, not a wrong request."""
    started = sorted(((r["msec"] - r["request_time"], r) for r in requests
                      if r["path"] == path or r["path"].startswith(path + ".")),
                     key=lambda pair: pair[0])
    for i, restart in enumerate(restarts):
        until = restarts[i + 1]["time"] if i + 1 < len(restarts) else float("inf")
        after = [r for at, r in started if restart["time"] <= at < until]
        first = after[0] if after else None
        restart["first_request"] = first and [first["path"], first["range"]]
        following = restarts[i + 1] if i + 1 < len(restarts) else None
        restart["unasked"] = first is None and following is not None and \
            following["time"] - restart["time"] < UNASKED_S and \
            following["disk"] == restart["disk"]
        if restart["unasked"]:
            restart["exact"] = True
        elif restart["disk"] == total:
            restart["exact"] = first is None
        else:
            restart["exact"] = first is not None and \
                (first["path"], first["range"]) == expected_request(restart["disk"], path)
    return restarts


class Drive:
    """One download to the install screen. should_kill(seconds since start, bytes on
    disk) says when to kill; sample(pid, status) is called about every sample_every s;
    standstill is the longest time without a byte of the product on disk for the first
    time (a file emptied and fetched again makes no progress until it passes the most it
    ever held: a download that fetched one file for ever would stand still), and a
    standstill over limit seconds ends the drive with AssertionError. flips() says how
    many bytes the network has flipped so far: the program must catch each one and fetch
    its file again, so each lets one emptied file count as new again."""

    def __init__(self, case, listed, should_kill, limit, sample=None, sample_every=5.0,
                 say=None, flips=lambda: 0):
        self.case, self.listed, self.should_kill = case, listed, should_kill
        self.flips, self.refetches = flips, 0
        self.limit, self.sample, self.sample_every = limit, sample, sample_every
        self.say = say or (lambda text: None)
        self.restarts, self.boxes = [], []
        # How each process ended: {"pid", "time", "code", "killed"}; a code with killed
        # false is the program ending by itself before the install screen.
        self.exits = []
        self.reconnects = 0
        self.standstill = 0.0
        self.final = None  # (pid, hwnd) of the program that reached the install screen

    def sizes(self):
        found = {}
        for name, _ in self.listed:
            try:
                found[name] = os.path.getsize(os.path.join(self.case.product_dir(),
                                                           *name.split("/")))
            except OSError:
                found[name] = 0
        return found

    def on_disk(self):
        return sum(self.sizes().values())

    def run(self):
        try:
            return self._run()
        except DriverError as error:
            ended = self.case.driver.call("wait_exit", self.pid, 0)
            if ended["exited"]:
                self.exits.append({"pid": self.pid, "time": time.time(), "code": ended["code"],
                                   "killed": False})
            state = f"ended with code {ended['code']}" if ended["exited"] else "still runs"
            raise AssertionError(f"{error}; the program {state}") from None

    def _run(self):
        case = self.case
        began = last_progress = last_sample = time.monotonic()
        # The most each file has held: bytes past it are bytes that arrived for the first
        # time.
        most = self.sizes()
        done = sum(most.values())
        pid, hwnd = case.open_program(fresh=False)
        self.pid = pid
        reconnecting = downloading = False
        while True:
            now = time.monotonic()
            sizes = self.sizes()
            disk = sum(sizes.values())
            for name, size in sizes.items():
                # Emptied to be fetched again: after a flip, that is what must happen.
                if size < most[name] and self.refetches < self.flips():
                    self.refetches += 1
                    done -= most[name] - size
                    most[name] = size
            most = {name: max(most[name], size) for name, size in sizes.items()}
            if sum(most.values()) > done:
                done, last_progress = sum(most.values()), now
            self.standstill = max(self.standstill, now - last_progress)
            if now - last_progress > self.limit:
                raise AssertionError(f"no progress for {now - last_progress:.0f} s "
                                     f"at {disk} bytes")
            for box in case.driver.call("dialogs", pid)["dialogs"]:
                self.boxes.append(box["text"])
                self.say(f"box: {box['text']!r}: OK, then Unpause")
                case.press(box, "OK")
            screen = case.screen(hwnd)
            if not screen:
                # Past the download: the install screen, or already the finished one
                # when the installer fails at once.
                if downloading or any(c["text"] == INSTALL_LINE or
                                      c["text"].startswith("Installation finished")
                                      for c in case.controls(hwnd)):
                    self.final = (pid, hwnd)
                    return time.monotonic() - began
            else:
                downloading = True
                status = screen["status"]["text"]
                if RECONNECTING in status and not reconnecting:
                    self.reconnects += 1
                reconnecting = RECONNECTING in status
                if screen["pause"]["text"] == "Unpause":  # only a box pauses here
                    case.click(hwnd, PAUSE_ID)
                if self.sample and now - last_sample >= self.sample_every:
                    last_sample = now
                    self.sample(pid, status)
            if self.should_kill(now - began, disk):
                case.driver.call("kill", pid)
                ended = case.wait_exit(pid)
                # Under Wine a killed process counts as ended before its Linux process
                # is gone, and a write it was in the middle of still lands: the bytes
                # on disk are those once nothing holds the files open.
                poll(lambda: not held_open(case.product_dir()), 10)
                self.exits.append({"pid": pid, "time": time.time(), "code": ended.get("code"),
                                   "killed": True})
                disk = self.on_disk()
                self.say(f"killed at {disk} bytes on disk; starting again")
                self.restarts.append({"time": time.time(), "disk": disk})
                pid, hwnd = case.open_program(fresh=False)
                self.pid = pid
                reconnecting = downloading = False
            time.sleep(0.2)

