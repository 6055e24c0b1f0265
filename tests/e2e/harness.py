"""End-to-end test harness: talks to the Win32 test driver (qv-driver.exe) under Wine.

Each test group is one unittest module run by tests/e2e/run.sh inside its own sandbox
(network namespace, X display, wineserver). Within a group one driver process serves
every test; processes a test starts are ended by process id in tearDown, also when the
test fails, and screenshots of every main window a test saw are written to
build/windows/e2e-screenshots/ so a person can look at them.

Local servers (the store's sign-in endpoint, the download server) belong in
E2ETestCase.start_servers: it runs before the driver starts any program, inside the same
namespace, and whatever it starts through spawn_server is ended by pid afterwards.
"""

import json
import os
import queue
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time
import unittest
import urllib.parse

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(REPO, "build", "windows")
BIN = os.path.join(BUILD, "bin")
# QV_E2E_PROGRAM points the program's groups at another executable, such as the stand-in
# window, when checking the tests themselves.
PROGRAM = os.environ.get("QV_E2E_PROGRAM", os.path.join(BIN, "quarryvale-downloader.exe"))
FIXTURE = os.path.join(BIN, "qv-fixture-window.exe")
DRIVER = os.path.join(BIN, "qv-driver.exe")
PLANTED = os.path.join(BUILD, "planted")  # wininet.dll and comctl32.dll that record a load
STAMP = os.path.join(REPO, "build", "native", "bin", "quarryvale-stamp")
SCREENSHOTS = os.path.join(BUILD, "e2e-screenshots")
RESULTS = os.path.join(BUILD, "e2e-results")
WORK = os.path.join(BUILD, "e2e-work")

MAIN_CLASS = "Quarryvale Downloader"
HTCLIENT, HTCAPTION, HTCLOSE = 1, 2, 20
WINDOW_WAIT_MS = 20000
EXIT_WAIT_MS = 10000
REPLY_TIMEOUT_S = 30


def win_path(path):
    """A Unix path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def waiting_for_program(test):
    """Marks tests of the real program; they are reported as waiting until it is built."""
    return unittest.skipUnless(os.path.exists(PROGRAM), "waiting for the program")(test)


class DriverError(Exception):
    pass


def poll(condition, timeout, every=0.05):
    """condition()'s first true value within timeout seconds, else None."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value or None
        time.sleep(every)


def stop_process(process):
    """Ends a server process by pid: asked first, then killed."""
    if process.poll() is None:
        os.kill(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait(timeout=5)


# Set when the group's time limit has sent SIGTERM: the running test fails, its tearDown
# still ends what it started, and the tests after it do not start.
terminated = False


def _on_terminate(*_):
    global terminated
    terminated = True
    raise SystemExit("terminated: the group ran out of time")


class Image:
    """A 32-bit top-down BMP as the driver writes it."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        offset = struct.unpack_from("<I", data, 10)[0]
        self.width, height = struct.unpack_from("<ii", data, 18)
        self.height = abs(height)
        self.pixels = data[offset:offset + self.width * self.height * 4]
        self.path = path

    def rgb(self, x, y):
        i = (y * self.width + x) * 4
        b, g, r = self.pixels[i], self.pixels[i + 1], self.pixels[i + 2]
        return (r, g, b)


class Driver:
    """One qv-driver.exe process; every call answers within REPLY_TIMEOUT_S or fails."""

    def __init__(self, environment=None, stderr=subprocess.DEVNULL):
        """environment: variables for the driver and every program it starts; stderr:
        where their Wine messages go (the programs inherit the driver's)."""
        env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        env.update(environment or {})
        self.process = subprocess.Popen(
            ["wine", DRIVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=stderr, text=True, bufsize=1, env=env)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def call(self, *words, timeout=REPLY_TIMEOUT_S):
        line = " ".join(urllib.parse.quote(str(w), safe="") for w in words)
        started = time.monotonic()
        try:
            self.process.stdin.write(line + "\n")
            self.process.stdin.flush()
        except OSError as error:
            raise DriverError(f"the driver is gone: {error}") from None
        try:
            answer = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise DriverError(f"no answer to {words[0]} within {timeout} s") from None
        if answer is None:
            raise DriverError("the driver ended")
        took = time.monotonic() - started
        if took > 1.0 and words[0] not in ("start", "wait_window", "wait_exit", "wait_dialog"):
            # A test that times the program through the driver needs to know.
            print(f"[slow driver call: {line[:80]} took {took:.1f} s]", file=sys.stderr, flush=True)
        reply = json.loads(answer)
        if not reply.pop("ok"):
            raise DriverError(f"{words[0]}: {reply.get('error')}")
        return reply

    def close(self):
        """Ends the driver (which ends what it started) and, failing that, kills it by pid."""
        try:
            self.process.stdin.close()
            self.process.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            pass
        if self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=10)


class E2ETestCase(unittest.TestCase):
    """Base class of every group: one driver per class, cleanup by pid per test."""

    driver = None
    driver_settings = {}  # Driver's arguments, for a group that needs Wine's messages
    servers = []

    @classmethod
    def start_servers(cls):
        """Hook: start the local servers a group needs (spawn_server); none so far."""

    @classmethod
    def spawn_server(cls, argv, ready=None, timeout=10):
        """Starts a server process, waits (bounded) until ready() holds, records its pid."""
        process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cls.servers.append(process)
        deadline = time.monotonic() + timeout
        while ready is not None and not ready():
            if time.monotonic() > deadline or process.poll() is not None:
                raise RuntimeError(f"server {argv[0]} did not become ready")
            time.sleep(0.05)
        return process

    @classmethod
    def setUpClass(cls):
        cls.servers = []
        cls.start_servers()
        cls.driver = Driver(**cls.driver_settings)

    @classmethod
    def tearDownClass(cls):
        if cls.driver is not None:
            cls.driver.close()
            cls.driver = None
        for process in cls.servers:
            stop_process(process)
        cls.servers = []

    def setUp(self):
        if terminated:
            self.skipTest("the group ran out of time")
        self.started = []
        self.windows = []
        self.shots = 0

    def tearDown(self):
        for hwnd in self.windows if self.shots == 0 else []:
            try:
                self.screenshot(hwnd)
            except DriverError:
                pass
        for pid in self.started:
            try:
                self.driver.call("kill", pid)
            except DriverError:
                pass

    # Processes and windows.

    def start(self, path, directory=None):
        args = ["start", win_path(path)]
        if directory is not None:
            args.append(win_path(directory))
        pid = self.driver.call(*args)["pid"]
        self.started.append(pid)
        return pid

    def wait_window(self, pid, timeout_ms=WINDOW_WAIT_MS):
        reply = self.driver.call("wait_window", pid, timeout_ms)
        self.windows.append(reply["hwnd"])
        return reply

    def window(self, hwnd):
        return self.driver.call("window", hwnd)

    def controls(self, hwnd):
        return self.driver.call("children", hwnd)["controls"]

    def hit_test(self, hwnd, x, y):
        return self.driver.call("hit_test", hwnd, x, y)["result"]

    def wait_exit(self, pid, timeout_ms=EXIT_WAIT_MS):
        return self.driver.call("wait_exit", pid, timeout_ms)

    def wait_dialog(self, pid, timeout_ms=WINDOW_WAIT_MS):
        dialog = self.driver.call("wait_dialog", pid, timeout_ms)["dialog"]
        # The icon is read off the screen, so a box that has not painted yet has none
        # that can be recognised: look again for a while before reporting it.
        deadline = time.monotonic() + 5
        while dialog["icon"] == "unknown" and time.monotonic() < deadline:
            time.sleep(0.1)
            for again in self.driver.call("dialogs", pid)["dialogs"]:
                if again["hwnd"] == dialog["hwnd"]:
                    dialog = again
        return dialog

    def press(self, dialog, button_text):
        ids = [b["id"] for b in dialog["buttons"] if b["text"].replace("&", "") == button_text]
        self.assertTrue(ids, f"no button {button_text!r} in {dialog['buttons']}")
        self.assertTrue(self.driver.call("press", dialog["hwnd"], ids[0])["closed"])

    def copy_program(self, name, source=PROGRAM):
        """A copy of a program in a directory of its own below the build tree; a name
        ending in .exe names the copy too."""
        directory = os.path.join(WORK, self._testMethodName, name)
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)
        file_name = name if name.endswith(".exe") else os.path.basename(source)
        target = os.path.join(directory, file_name)
        shutil.copy(source, target)
        return target

    def wait_for(self, condition, timeout=20, what="condition"):
        """Polls condition until it holds (returns its value) or the time is up (fails)."""
        value = poll(condition, timeout)
        if value is None:
            self.fail(f"timed out waiting for {what}")
        return value

    # Pixels.

    def capture(self, hwnd, name=None, settle_s=0.3, timeout_s=5):
        """The window as the screen shows it, once two grabs in a row agree."""
        os.makedirs(SCREENSHOTS, exist_ok=True)
        if name is None:
            name = self._shot_name()
        path = os.path.join(SCREENSHOTS, name + ".bmp")
        deadline = time.monotonic() + timeout_s
        previous = None
        while True:
            self.driver.call("capture", hwnd, win_path(path))
            image = Image(path)
            if image.pixels == previous or time.monotonic() > deadline:
                break
            previous = image.pixels
            time.sleep(settle_s)
        if shutil.which("convert"):
            subprocess.run(["convert", path, path[:-4] + ".png"], timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return image

    def screenshot(self, hwnd):
        return self.capture(hwnd, settle_s=0.1, timeout_s=1)

    def _shot_name(self):
        group = os.path.splitext(os.path.basename(sys.argv[0]))[0]
        self.shots += 1
        suffix = "" if self.shots == 1 else f"-{self.shots}"
        return f"{group}.{self._testMethodName}{suffix}"


def main():
    """Runs the calling group and leaves its counts in build/windows/e2e-results/."""
    signal.signal(signal.SIGTERM, _on_terminate)
    group = os.path.splitext(os.path.basename(sys.argv[0]))[0]
    suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules["__main__"])
    started = time.monotonic()
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    os.makedirs(RESULTS, exist_ok=True)
    # A test that fails and then errs in tearDown is one failed test; a test skipped
    # because the group ran out of time failed too.
    waiting = [t for t, reason in result.skipped if reason.startswith("waiting for")]
    bad = {t.id() for t, _ in result.failures + result.errors}
    bad |= {t.id() for t in result.unexpectedSuccesses}
    bad |= {t.id() for t, reason in result.skipped if not reason.startswith("waiting for")}
    counts = {
        "tests": max(result.testsRun - len(waiting), len(bad)),  # a failed setUpClass runs none
        "failed": len(bad),
        "waiting": len(waiting),
        "seconds": round(time.monotonic() - started, 1),
    }
    with open(os.path.join(RESULTS, group + ".json"), "w") as f:
        json.dump(counts, f)
    sys.exit(1 if bad else 0)
