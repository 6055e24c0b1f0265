"""The whole run through the real program: sign-in, download, the demo installer started
under its own name in the product's directory, the main window hidden while the
installer shows a window, the finished screen and each of its choices; the
installer's failures; a real self-extracting installer that reads its own file while
the program holds it; the product's folders held against a rename while the finished
screen shows; and a program folder named in any script. Every run of the demo installer
also checks that it could open its own file for reading, sharing read only, as
self-extracting installers do."""

import json
import os
import shutil
import time

import downloads
import harness
from download_case import DownloadTestCase, TITLE
from harness import BIN, waiting_for_program
from test_sign_in import PRODUCT

INSTALLER = os.path.join(BIN, "qv-demo-installer.exe")
REMOVE = "Remove temporary files (Recommended if installation was successful)"
KEEP = "Keep temporary files (If you want to run the installer again later)"
RESTART = "Restart installer"


def installer_runs(case, product_dir):
    """The demo installer's records of its runs so far, each checked for what every run
    must see: its own file readable by a reader that shares read only (a self-extracting
    installer's open), while neither writable nor deletable."""
    try:
        with open(os.path.join(product_dir, "installer-runs.txt"), encoding="utf-8") as f:
            runs = [json.loads(line) for line in f]
    except FileNotFoundError:
        return []
    for run in runs:
        case.assertEqual(run["read_error"], 0, "the installer could not read its own file")
    return runs


def product(settings, launch=True, extra=()):
    with open(INSTALLER, "rb") as f:
        files = [("data/a.bin", 200_000)] + list(extra)
        if launch:
            files.append(("launch", f.read()))
        files.append(("installer.txt", settings.encode()))
        return files


@waiting_for_program
class InstallTests(DownloadTestCase):
    def runs(self):
        return installer_runs(self, self.product_dir())

    def finished(self, hwnd, title=TITLE):
        """Waits for the finished screen; returns its controls by text."""
        heading = f"Installation finished - {title}"
        self.wait_for(lambda: any(c["text"] == heading for c in self.controls(hwnd)), 30,
                      "the finished screen")
        return {c["text"]: c for c in self.controls(hwnd)}

    def choose(self, hwnd, screen, text):
        self.driver.call("click", screen[text]["hwnd"])
        self.wait_for(lambda: {c["text"]: c for c in self.controls(hwnd)}[text]["checked"], 5,
                      f"{text!r} checked")
        self.driver.call("click", screen["OK"]["hwnd"])

    def test_whole_run_then_remove(self):
        listed = self.publish(product(f"title={TITLE} Setup\n"))
        pid, hwnd = self.open_program()
        run = self.wait_for(lambda: self.runs(), 60, "the installer")[0]
        directory = self.product_dir()
        self.assertEqual(run["cwd"].rstrip("\\"), harness.win_path(directory))
        self.assertTrue(run["module"].endswith("\\" + self.product_dir_name() + "\\setup.exe"))
        # Its quoted path alone (Wine quotes a missing command line too), and its file
        # can be neither changed nor deleted while it runs (sharing violation).
        self.assertEqual(run["command_line"], f'"{run["module"]}"')
        self.assertEqual([run["write_error"], run["delete_error"], run["read_error"]], [32, 32, 0])
        self.assertFalse(os.path.exists(os.path.join(directory, "launch")))
        self.assertEqual(self.window(run["hwnd"])["title"], f"{TITLE} Setup")
        self.wait_for(lambda: not self.window(hwnd)["visible"], 5, "the main window to hide")
        self.assert_product_arrived(listed[:1])

        self.driver.call("click", self.controls(run["hwnd"])[0]["hwnd"])  # Finish
        screen = self.finished(hwnd)
        self.assertTrue(self.window(hwnd)["visible"])
        self.assertTrue(os.path.exists(os.path.join(directory, "launch")))
        h = self.driver.call("message_font")["cell_height"]
        y = 51 + int(1.25 * h)
        self.assertEqual(screen[f"Installation finished - {TITLE}"]["rect"],
                         [17, 41, 463, 41 + 3 * h // 2])
        for text, top in ((REMOVE, y), (KEEP, y + h + 6), (RESTART, y + 2 * h + 12)):
            self.assertEqual(screen[text]["rect"], [17, top, 417, top + h], text)
        self.assertEqual(screen["OK"]["rect"][1], y + 3 * h + 22)
        self.assertEqual([screen[t]["checked"] for t in (REMOVE, KEEP, RESTART)],
                         [True, False, False])
        self.screenshot(hwnd)

        # Another product's directory keeps the directory of temporary files. A link in
        # the product's tree goes as a link: what it points at stays. (Wine shows a Unix
        # link to a folder as a reparse point but can remove it by neither RemoveDirectory
        # nor DeleteFile, and a link to a file as a plain file whose deletion deletes its
        # target; so under Wine both links are left. Windows removes either kind.)
        other = os.path.join(os.path.dirname(directory), "2000")
        os.makedirs(other)
        outside = os.path.join(os.path.dirname(self.program), "elsewhere")
        os.makedirs(outside)
        with open(os.path.join(outside, "keep.txt"), "wb") as f:
            f.write(b"not the product's")
        os.symlink(outside, os.path.join(directory, "data", "link"))
        os.symlink(os.path.join(outside, "keep.txt"), os.path.join(directory, "data", "file"))
        self.driver.call("click", screen["OK"]["hwnd"])
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})
        left = sorted(os.path.relpath(os.path.join(d, n), directory)
                      for d, folders, names in os.walk(directory) for n in folders + names)
        self.assertIn(left, ([], ["data", "data/file", "data/link"]))
        self.assertTrue(os.path.isdir(other))
        with open(os.path.join(outside, "keep.txt"), "rb") as f:
            self.assertEqual(f.read(), b"not the product's")

    def product_dir_name(self):
        return os.path.basename(self.product_dir())

    def test_restart_then_keep(self):
        self.publish(product("close_after_ms=300\n"))
        pid, hwnd = self.open_program()
        self.choose(hwnd, self.finished(hwnd), RESTART)
        self.wait_for(lambda: len(self.runs()) == 2, 30, "the second run")
        screen = self.finished(hwnd)
        self.assertTrue(screen[REMOVE]["checked"])
        self.choose(hwnd, screen, KEEP)
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})
        self.assertTrue(os.path.exists(os.path.join(self.product_dir(), "launch")))
        self.assertFalse(os.path.exists(os.path.join(self.product_dir(), "setup.exe")))
        # Removing with nothing else there takes the temporary directory with it.
        pid, hwnd = self.open_program(fresh=False)
        self.wait_for(lambda: len(self.runs()) == 3, 30, "the third run")
        self.choose(hwnd, self.finished(hwnd), REMOVE)
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})
        self.assertFalse(os.path.exists(os.path.dirname(self.product_dir())))

    def test_a_real_installer_reads_itself_while_held(self):
        # A real NSIS installer, as stores ship them, opens its own file sharing read only
        # to unpack what it carries: with and without the store's hashes, and again from
        # the finished screen, the payload lands byte for byte and the finished screen
        # follows (with a hold that shares no reading or asks for delete, it shows "Error
        # launching installer" and installs nothing).
        top = os.path.join(harness.WORK, self._testMethodName)
        payload, installed = os.path.join(top, "payload"), os.path.join(top, "installed")
        carried = downloads.make_product(payload, [("game.bin", 2_000_000),
                                                   ("docs/readme.txt", b"Dig deep.\r\n")])
        launch = downloads.nsis_installer(os.path.join(top, "quest-installer.exe"), payload,
                                          harness.win_path(installed))

        def arrived():
            for name in carried:
                with open(os.path.join(payload, *name.split("/")), "rb") as want:
                    got = os.path.join(installed, *name.split("/"))
                    self.assertTrue(os.path.exists(got), name)
                    with open(got, "rb") as f:
                        self.assertEqual(f.read(), want.read(), name)

        for hashed in (False, True):
            shutil.rmtree(installed, ignore_errors=True)
            listed = self.publish([("data/a.bin", 200_000), ("launch", launch)], hashed=hashed)
            pid, hwnd = self.open_program()
            screen = self.finished(hwnd)
            arrived()
            self.assert_product_arrived(listed)
            self.assertTrue(os.path.exists(os.path.join(self.product_dir(), "launch")))
            if not hashed:
                shutil.rmtree(installed)
                self.choose(hwnd, screen, RESTART)
                self.wait_for(lambda: screen["OK"]["hwnd"] not in
                              {c["hwnd"] for c in self.controls(hwnd)}, 10, "the restart")
                screen = self.finished(hwnd)
                arrived()
            self.driver.call("click", screen["OK"]["hwnd"])  # remove, the default
            self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})
            self.assertFalse(os.path.exists(self.product_dir()))

    def test_the_folders_are_held_while_the_finished_screen_shows(self):
        # Another Windows program (a buyer's own, which may delete in the folder beside
        # the program) cannot rename either checked folder away to put a tree of its own
        # there: both renames meet a sharing violation, and "Restart installer" runs the
        # installer that was checked. Once the program has ended, the hold is gone.
        self.publish(product("close_after_ms=300\n"))
        pid, hwnd = self.open_program()
        screen = self.finished(hwnd)
        directory = self.product_dir()
        temporary = os.path.dirname(directory)
        for folder in (directory, temporary):
            moved = self.driver.call("rename", harness.win_path(folder),
                                     harness.win_path(folder + "-moved"))
            self.assertEqual(moved["error"], 32, folder)  # ERROR_SHARING_VIOLATION
            self.assertTrue(os.path.isdir(folder))
            self.assertFalse(os.path.exists(folder + "-moved"))
        self.choose(hwnd, screen, RESTART)
        self.wait_for(lambda: len(self.runs()) == 2, 30, "the second run")
        self.assertEqual(self.runs()[1]["module"],
                         harness.win_path(os.path.join(directory, "setup.exe")))
        self.choose(hwnd, self.finished(hwnd), KEEP)
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})
        moved = self.driver.call("rename", harness.win_path(directory),
                                 harness.win_path(directory + "-moved"))
        self.assertEqual(moved["error"], 0)

    def test_installer_failures(self):
        title = "100% Quest"
        launch = "%1!s!\\launch"
        cases = [
            # No launch file at all.
            (product("", launch=False), "Failed to rename file. Source: " + launch),
            # A file already carries the installer's name.
            (product("", extra=[("setup.exe", b"x")]), "Failed to rename file. Source: " + launch),
            # The launch file is no program.
            ([("launch", b"not a program")], "Failed to launch installer: "),
        ]
        for run, (files, text) in enumerate(cases):
            self.publish(files, title=title)
            self.program = self.copy_program(f"program-{run}")
            pid, hwnd = self.open_program(fresh=False)
            box = self.wait_dialog(pid, 60000)
            directory = harness.win_path(self.product_dir())
            self.assertTrue(box["text"].startswith(text.replace("%1!s!", directory)),
                            box["text"])
            if text.startswith("Failed to rename"):
                self.assertIn(f", Target: {directory}\\setup.exe, Error: ", box["text"])
            self.assertRegex(box["text"], r"\(Error \d+\)$")
            self.assertIn(f"Launching {title} installer...",
                          [c["text"] for c in self.controls(hwnd)])
            self.press(box, "OK")
            self.finished(hwnd, title)
            self.assertTrue(self.window(hwnd)["visible"])
            if run == 2:
                self.assertTrue(os.path.exists(os.path.join(self.product_dir(), "launch")))
            self.driver.call("close", hwnd)
            self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})

    def test_no_window_keeps_the_main_window_and_closing_leaves_the_installer(self):
        self.publish(product("window=0\nclose_after_ms=1500\n"))
        pid, hwnd = self.open_program()
        self.wait_for(lambda: self.runs(), 60, "the installer")
        deadline = time.monotonic() + 1.0  # across several of the watch's ticks
        while time.monotonic() < deadline:
            self.assertTrue(self.window(hwnd)["visible"])
            time.sleep(0.1)
        self.finished(hwnd)
        self.driver.call("close", hwnd)
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})

        # Closing the program while its installer runs ends only the program.
        self.publish(product("close_after_ms=20000\n"))
        pid, hwnd = self.open_program()
        run = self.wait_for(lambda: self.runs(), 60, "the installer")[0]
        self.driver.call("close", hwnd)
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})
        self.assertTrue(self.window(run["hwnd"])["visible"])
        self.assertTrue(os.path.exists(os.path.join(self.product_dir(), "setup.exe")))
        self.driver.call("close", run["hwnd"])

    def test_a_program_folder_named_in_any_script(self):
        # Wine names Unix files through the locale's character set; UTF-8 holds them all.
        self.driver = harness.Driver({"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"})
        self.addCleanup(self.driver.close)  # after tearDown has ended what it started
        listed = self.publish(product("close_after_ms=300\n", extra=[("data/b.bin", 3_000_000)]),
                              host="127.0.0.2")
        downloads.configure_faults(self.faults, throttle=1_000_000)

        # Outside the ANSI code page: the download, a resume after a kill, the installer
        # and the removal all reach the folder by its own name.
        self.program = self.copy_program("Łukasz-日本")
        pid, hwnd = self.open_program(fresh=False)
        self.wait_for(lambda: self.on_disk(listed) >= 400_000, 30, "the download to begin")
        self.driver.call("kill", pid)
        self.wait_exit(pid)
        kept = self.on_disk(listed)
        pid, hwnd = self.open_program(fresh=False)
        run = self.wait_for(lambda: self.runs(), 60, "the installer")[0]
        directory = self.product_dir()
        self.assertEqual(run["cwd"].rstrip("\\"), harness.win_path(directory))
        self.assertEqual(run["module"], harness.win_path(os.path.join(directory, "setup.exe")))
        screen = self.finished(hwnd)
        self.assert_product_arrived(listed)
        self.assertEqual([r["range"] for r in downloads.fault_requests(self.faults)],
                         [None, f"bytes={kept}-"])
        self.driver.call("click", screen["OK"]["hwnd"])  # remove, the default
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})
        self.assertFalse(os.path.exists(os.path.dirname(directory)))
        self.assertTrue(os.path.exists(self.program))

        # "Łukasz" beside "Lukasz", its closest match in the code page: the look-alike
        # folder, holding a first file of the product already, is neither used nor touched.
        downloads.configure_faults(self.faults)
        self.program = self.copy_program("Łukasz")
        look_alike = os.path.join(os.path.dirname(os.path.dirname(self.program)), "Lukasz")
        shutil.rmtree(look_alike, ignore_errors=True)
        stale = os.path.join(look_alike, "Quarryvale temporary files", PRODUCT, "data", "a.bin")
        os.makedirs(os.path.dirname(stale))
        with open(stale, "wb") as f:
            f.write(b"x" * 200_000)
        before = _tree(look_alike)
        pid, hwnd = self.open_program(fresh=False)
        screen = self.finished(hwnd)
        self.assert_product_arrived(listed)
        self.assertEqual([r["range"] for r in downloads.fault_requests(self.faults)], [None])
        self.driver.call("click", screen["OK"]["hwnd"])
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})
        self.assertFalse(os.path.exists(os.path.dirname(self.product_dir())))
        self.assertEqual(_tree(look_alike), before)


def _tree(top):
    """Every file below top with its contents."""
    files = {}
    for directory, _, names in os.walk(top):
        for name in names:
            with open(os.path.join(directory, name), "rb") as f:
                files[os.path.relpath(os.path.join(directory, name), top)] = f.read()
    return files


if __name__ == "__main__":
    harness.main()
