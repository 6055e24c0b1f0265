#!/usr/bin/env python3
"""The demo's inside part, run by tools/store/demo.sh inside its namespace, with the
demo's Wine prefix, a display and a private /tmp.

It publishes the demo product (QV_DEMO_SIZE_MB, 300 by default, in several files and
directories below data/, with a real NSIS installer as "launch" that carries the small
files itself and copies data/ in beside them, into the prefix's Program Files) on nginx, starts the store with the
product offered to the demo token, stamps a copy of the program (QV_DEMO_PROGRAM, by
default the windows preset's) and runs it. With a person's display it waits until the
program ends; on the virtual display it drives every screen through the test driver and
keeps a screenshot of each, the installer's pages included, which it drives as a buyer
would. Every server and program it starts is ended by its process id; every wait is
bounded.
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Before tools/store: the end-to-end tests' store.py is the one that starts the store.
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import downloads  # noqa: E402
import harness  # noqa: E402
import store  # noqa: E402
from harness import BIN, BUILD, STAMP, Driver, DriverError, Image, win_path  # noqa: E402

WORK = os.path.join(BUILD, "demo-work")
SHOTS = os.path.join(BUILD, "demo")
SOURCES = os.path.join(WORK, "product")
WEBROOT = os.path.join(WORK, "www")
PROGRAM_DIR = os.path.join(WORK, "program")
PROGRAM = os.path.join(PROGRAM_DIR, "quarryvale-downloader.exe")
PRODUCT_DIR = os.path.join(PROGRAM_DIR, "Quarryvale temporary files", "1000")
CARRIED = os.path.join(WORK, "carried")  # what the installer carries inside its own file
INSTALLER_TITLE = "Quarry Quest Setup"
TOKEN, PRODUCT, TITLE = "QVDEMO01", "1000", "Quarry Quest"
URL_PATH = "/products/1000"
STOP_ID, PAUSE_ID, NAME_ID, PASSWORD_ID, SIGN_IN_ID = 100, 101, 100, 101, 102
REMOVE = "Remove temporary files (Recommended if installation was successful)"
HEADLESS = not os.environ.get("QV_SANDBOX_KEEP_DISPLAY")
# A person may take their time with the window; the virtual display's run is ours.
RUN_LIMIT_S = int(os.environ.get("QV_DEMO_TIMEOUT", "300" if HEADLESS else "3600"))
PERCENT = re.compile(r"\(([0-9.]+)%\)")


class Failed(Exception):
    pass


def say(text):
    print(f"demo: {text}", flush=True)


def progress(text):
    """One line that rewrites itself on a terminal; elsewhere a line per tenth done."""
    if sys.stdout.isatty():
        print(f"\rdemo: {text[:110]:<110}", end="", flush=True)
    else:
        found = PERCENT.search(text)
        kind = re.match("[A-Za-z]*", text).group()  # "Downloading", "Paused", ...
        step = (kind, int(float(found.group(1)) // 10)) if found else text
        if step != getattr(progress, "step", None):
            print(f"demo: {text}", flush=True)
        progress.step = step
    progress.last = text


def end_progress():
    if sys.stdout.isatty() and getattr(progress, "last", None) is not None:
        print(flush=True)
    progress.last = progress.step = None


def wait_for(condition, timeout, what, every=0.05):
    value = harness.poll(condition, timeout, every)
    if value is None:
        raise Failed(f"timed out after {timeout} s waiting for {what}")
    return value


# The product.

def product_layout():
    """The big files of the product, its bulk in several files and directories."""
    total = int(os.environ.get("QV_DEMO_SIZE_MB", "300")) * 1_000_000
    shares = [("data/levels/world.pak", 40), ("data/textures/terrain.pak", 30),
              ("data/sound/music.pak", 20), ("data/movies/intro.bin", 10)]
    return [(name, total * share // 100) for name, share in shares]


def make_sources():
    """The product's source files; the big ones are made once per size and kept."""
    layout = product_layout()
    made = os.path.join(WORK, "product.json")
    try:
        with open(made) as f:
            reuse = json.load(f) == [list(entry) for entry in layout]
    except (OSError, ValueError):
        reuse = False
    if not reuse:
        say(f"making the demo product's files ({sum(s for _, s in layout) // 1_000_000} MB)")
        shutil.rmtree(SOURCES, ignore_errors=True)
        downloads.make_product(SOURCES, layout)
        with open(made, "w") as f:
            json.dump(layout, f)
    # A real installer, as a store ships one: it carries the small files in its own file
    # and copies the data downloaded beside it into the buyer's Program Files.
    shutil.rmtree(CARRIED, ignore_errors=True)
    carried = downloads.make_product(CARRIED, [
        ("readme.txt", b"Quarry Quest: dig deep, build high.\r\n"), ("saves/empty.sav", b"")])
    downloads.make_product(SOURCES, [("launch", downloads.nsis_installer(
        os.path.join(WORK, "quest-installer.exe"), CARRIED, r"$PROGRAMFILES64\Quarry Quest",
        name=TITLE, silent=False, beside="data"))])
    return [name for name, _ in layout] + ["launch"], carried


def installed_dir():
    """Where the installer puts the product: the demo prefix's Program Files."""
    return os.path.join(os.environ["WINEPREFIX"], "drive_c", "Program Files", TITLE)


def check_installed(listed, carried):
    """The installed product, byte for byte: the data as downloaded and the files the
    installer carried."""
    for name, size in listed:
        if name != "launch":
            same_file(os.path.join(installed_dir(), *name.split("/")),
                      os.path.join(SOURCES, *name.split("/")), name)
    for name in carried:
        same_file(os.path.join(installed_dir(), *name.split("/")),
                  os.path.join(CARRIED, *name.split("/")), name)


class Servers:
    """Whatever spawn_server starts, ended by pid in stop()."""

    def __init__(self):
        self.processes = []

    def spawn_server(self, argv, ready=None, timeout=10):
        process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(process)
        wait_for(lambda: ready is None or ready() or process.poll() is not None, timeout,
                 f"{argv[1]} to start")
        if process.poll() is not None:
            raise Failed(f"{argv[1]} ended at start with status {process.returncode}")
        return process

    def stop(self):
        for process in self.processes:
            harness.stop_process(process)


def store_config(listed, hashes=None):
    with open(os.environ.get("QV_DEMO_CONFIG",
                             os.path.join(REPO, "tools", "store", "demo-config.json"))) as f:
        config = json.load(f)
    config["products"] = {PRODUCT: downloads.product_fields(
        listed, server=f"https://{downloads.SECURE_HOST}{URL_PATH}", title=TITLE,
        hashes=hashes)}
    return config


def decorate_windows():
    """Wine draws the windows' frames and captions itself, as Windows would: without a
    window manager (the virtual display) a window's title would otherwise not show."""
    marker = os.path.join(os.environ["WINEPREFIX"], "qv-demo-decorated")
    if not os.path.exists(marker):
        subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                        "Decorated", "/d", "N", "/f"], check=True, timeout=120,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        open(marker, "w").close()


def stamp_program():
    """A fresh copy of the program for the demo's token, in a directory of its own, so
    nothing is left from an earlier run to resume."""
    shutil.rmtree(PROGRAM_DIR, ignore_errors=True)
    os.makedirs(PROGRAM_DIR)
    built = os.environ.get("QV_DEMO_PROGRAM") or os.path.join(BIN, "quarryvale-downloader.exe")
    subprocess.run([STAMP, built, PROGRAM, TOKEN, PRODUCT], check=True, timeout=60,
                   stdout=subprocess.DEVNULL)


def bytes_on_disk():
    total = 0
    for directory, _, names in os.walk(PRODUCT_DIR):
        for name in names:
            try:
                total += os.path.getsize(os.path.join(directory, name))
            except OSError:
                pass
    return total


def same_file(got, want, name):
    if not os.path.exists(got) or os.path.getsize(got) != os.path.getsize(want):
        raise Failed(f"{name} did not arrive whole at {got}")
    with open(got, "rb") as a, open(want, "rb") as b:
        while True:
            block = b.read(1 << 20)
            if a.read(1 << 20) != block:
                raise Failed(f"{name} at {got} differs from the published file")
            if not block:
                break


def compare(listed):
    """Every file of the product as published, byte for byte."""
    for name, _ in listed:
        same_file(os.path.join(PRODUCT_DIR, *name.split("/")),
                  os.path.join(SOURCES, *name.split("/")), name)


# A person's display: they drive, we watch.

def watch(total):
    say("the program is yours to drive; the demo ends when it does")
    env = dict(os.environ, WINEDEBUG="-all")
    program = subprocess.Popen(["wine", PROGRAM], cwd=PROGRAM_DIR, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + RUN_LIMIT_S
    try:
        while program.poll() is None and time.monotonic() < deadline:
            done = bytes_on_disk()
            if done:
                progress(f"{done / 1e6:.1f} MB of {total / 1e6:.1f} MB on disk "
                         f"({done * 100 / total:.1f}%).")
            time.sleep(0.25)
    finally:
        end_progress()
        if program.poll() is None:
            say(f"no end after {RUN_LIMIT_S} s (QV_DEMO_TIMEOUT): ending the program")
            os.kill(program.pid, signal.SIGKILL)
            program.wait(timeout=10)
            return 1
    say(f"the program ended with code {program.returncode}")
    return 0 if program.returncode == 0 else 1


# The virtual display: the test driver drives every screen.

class Drive:
    def __init__(self, driver, listed, carried):
        self.driver, self.listed, self.carried = driver, listed, carried
        self.shots = []

    def controls(self, hwnd):
        return self.driver.call("children", hwnd)["controls"]

    def status(self):
        """The download screen's status text; None once the screen is gone."""
        controls = self.controls(self.hwnd)
        ids = {c["id"] for c in controls}
        statics = [c for c in controls if c["class"] == "Static"]
        if STOP_ID not in ids or PAUSE_ID not in ids or len(statics) != 2:
            return None
        return statics[1]["text"]

    def texts(self):
        return {c["text"]: c for c in self.controls(self.hwnd)}

    def show(self, text):
        """The status line as our progress line."""
        if text:
            progress(text.strip())
        return text

    def capture(self, hwnd, name, settle=True):
        """The window as the screen shows it; settled, once two grabs in a row agree
        (bounded), for a screen that is not busy changing."""
        os.makedirs(SHOTS, exist_ok=True)
        bmp = os.path.join(SHOTS, name + ".bmp")
        previous, deadline = None, time.monotonic() + 2
        while True:
            self.driver.call("capture", hwnd, win_path(bmp))
            pixels = Image(bmp).pixels
            if not settle or pixels == previous or time.monotonic() > deadline:
                break
            previous = pixels
            time.sleep(0.1)
        png = bmp[:-4] + ".png"
        subprocess.run(["convert", bmp, png], check=True, timeout=30)
        os.remove(bmp)
        self.shots.append(png)

    def click(self, control_id):
        self.driver.call("command", self.hwnd, control_id, 0)

    def run(self):
        self.pid = self.driver.call("start", win_path(PROGRAM), win_path(PROGRAM_DIR))["pid"]
        self.hwnd = self.driver.call("wait_window", self.pid, 30000)["hwnd"]
        self.sign_in()
        self.download()
        self.install()
        return self.finish()

    def sign_in(self):
        say("signing in")
        deadline = time.monotonic() + 60
        while self.status() is None:
            by_id = {c["id"]: c for c in self.controls(self.hwnd)}
            if by_id.get(NAME_ID, {}).get("class") == "Edit" and by_id[NAME_ID]["visible"]:
                accounts = store_config([]).get("accounts") or {}
                if not accounts:
                    raise Failed("the store refused the token and has no accounts")
                name, password = next(iter(accounts.items()))
                say(f"the store refused the token: signing in as {name!r}")
                self.driver.call("set_text", by_id[NAME_ID]["hwnd"], name)
                self.driver.call("set_text", by_id[PASSWORD_ID]["hwnd"], password)
                self.driver.call("click", by_id[SIGN_IN_ID]["hwnd"])
                wait_for(lambda: by_id[NAME_ID]["hwnd"] not in
                         {c["hwnd"] for c in self.controls(self.hwnd)} or self.status(),
                         30, "the account form to go")
            if time.monotonic() > deadline:
                raise Failed("no download screen within 60 s of signing in")
            time.sleep(0.05)

    def download(self):
        def percent():
            text = self.show(self.status())
            if text is None:
                raise Failed("the download ended before it could be paused: "
                             "try a larger QV_DEMO_SIZE_MB")
            # A rate of its own: the first refreshes still show "0 B/s".
            found = PERCENT.search(text) if text.startswith("Downloading at") and \
                not text.startswith("Downloading at 0 B/s") else None
            return found and float(found.group(1)) >= 1.0

        wait_for(percent, 60, "the download to start")
        self.capture(self.hwnd, "download", settle=False)
        clicked = time.monotonic()
        self.click(PAUSE_ID)
        # A pause lands when the worker's read has let go, which can take a while.
        wait_for(lambda: (self.show(self.status()) or "").startswith("Paused."), 60,
                 "the pause")
        took = time.monotonic() - clicked
        self.capture(self.hwnd, "paused")
        end_progress()
        say(f"paused {took:.1f} s after the click; unpausing")
        self.click(PAUSE_ID)

        def downloaded():
            text = self.status()
            if text is None:  # the install screen took over
                return True
            self.show(text)
            if text.startswith("Paused."):  # an error box paused it
                raise Failed(f"the download paused: {text}")
            return False

        wait_for(downloaded, RUN_LIMIT_S, "the download to finish", every=0.2)
        progress(f"downloaded {bytes_on_disk() / 1e6:.2f} MB (100%)")
        end_progress()

    def install(self):
        line = f"Launching {TITLE} installer..."
        wait_for(lambda: line in self.texts() or self.installer_window(), 30,
                 "the install screen")
        say(line)
        setup = wait_for(self.installer_window, 60, "the installer's window")
        wait_for(lambda: not self.driver.call("window", self.hwnd)["visible"], 10,
                 "the main window to hide")
        say(f"the installer shows its window {INSTALLER_TITLE!r}; the downloader's window "
            "is hidden")
        # Its pages, as a buyer goes through them: the folder (Program Files, as offered),
        # then the files going in, then Close.
        self.press(setup, "Install")
        wait_for(lambda: self.button(setup, "Close"), RUN_LIMIT_S, "the installer to finish")
        self.capture(setup, "installer")
        say(f"the installer has put the product in {installed_dir()}; closing it")
        self.press(setup, "Close")

    def installer_window(self):
        return self.driver.call("find_window", INSTALLER_TITLE)["hwnd"] or None

    def button(self, window, text):
        """The window's visible, enabled button with this text (without its &), or None."""
        for control in self.controls(window):
            if control["class"].lower() == "button" and control["visible"] and \
                    control["enabled"] and control["text"].replace("&", "") == text:
                return control
        return None

    def press(self, window, text):
        button = wait_for(lambda: self.button(window, text), 30, f"the button {text!r}")
        self.driver.call("click", button["hwnd"])

    def finish(self):
        heading = f"Installation finished - {TITLE}"

        def finished_screen():  # once every control is there
            texts = self.texts()
            return all(text in texts for text in (heading, REMOVE, "OK")) and texts

        screen = wait_for(finished_screen, 60, "the finished screen")
        say("the installer ended; the finished screen shows")
        compare(self.listed)
        say(f"the product arrived byte for byte: {len(self.listed)} files, "
            f"{sum(size for _, size in self.listed)} bytes")
        check_installed(self.listed, self.carried)
        say(f"and the installer put every file in place byte for byte: "
            f"{len(self.listed) - 1 + len(self.carried)} files in {installed_dir()}")
        self.driver.call("click", screen[REMOVE]["hwnd"])
        wait_for(lambda: self.texts()[REMOVE]["checked"], 5, "the choice to remove")
        self.capture(self.hwnd, "finished")
        self.driver.call("click", screen["OK"]["hwnd"])
        ended = self.driver.call("wait_exit", self.pid, 20000)
        if not ended["exited"]:
            raise Failed("the program did not end within 20 s of OK")
        say(f"OK with {REMOVE!r}: the program ended with code {ended['code']}")
        if os.path.exists(PRODUCT_DIR):
            raise Failed("the product's temporary files are still there")
        say("its temporary files are gone")
        return 0 if ended["code"] == 0 else 1


def main():
    started = time.monotonic()
    servers = Servers()
    driver = state = None
    try:
        names, carried = make_sources()
        say(f"publishing the product on nginx ({WEBROOT})")
        listed, total = downloads.publish_product(SOURCES, names, WEBROOT, URL_PATH)
        hashes = downloads.file_hashes(SOURCES, names)
        say(f"starting the store (HTTPS on localhost) and nginx (HTTPS as {downloads.SECURE_HOST})")
        state = store.start_store(servers, http_port=0, **store_config(listed, hashes))
        downloads.start_nginx(servers, WEBROOT, downloads.SECURE_ADDRESS, 443,
                              tls=[os.path.join(store.CERTS, n) for n in ("server.pem", "server.key")])
        decorate_windows()
        stamp_program()
        shutil.rmtree(installed_dir(), ignore_errors=True)  # only this run's install counts
        say(f"running {PROGRAM} (token {TOKEN}, product {PRODUCT}, {total / 1e6:.1f} MB)")
        if not HEADLESS:
            return watch(total)
        driver = Driver()
        drive = Drive(driver, listed, carried)
        status = drive.run()
        say(f"screenshots in {os.path.relpath(SHOTS, REPO)}/: "
            + " ".join(os.path.basename(p) for p in drive.shots))
        return status
    except (Failed, DriverError, OSError, ValueError, subprocess.SubprocessError) as error:
        end_progress()
        say(f"FAILED: {error}")
        return 1
    finally:
        if driver is not None:
            driver.close()
        servers.stop()
        if state is not None:
            say(f"the store answered {len(store.requests(state))} sign-in request(s)")
            store.remove_state(state)
        began = float(os.environ.get("QV_DEMO_STARTED", 0)) or None
        whole = f" ({time.time() - began:.0f} s in all, with the build)" if began else ""
        say(f"took {time.monotonic() - started:.0f} s{whole}")


if __name__ == "__main__":
    sys.exit(main())
