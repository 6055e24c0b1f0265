"""The disk refusing the program's files, in the sandbox's private mount namespace (as
root, permissions would not stop a write): a directory that cannot be written and a
disk that fills up. Each pauses with its box and loses nothing already on disk. And the
program refusing folders that someone else could have filled."""

import os
import shutil
import subprocess
import tempfile

import downloads
import harness
from download_case import DownloadTestCase, PAUSE_ID, STOP_ID
from harness import waiting_for_program

ERROR = ("An error has occured while downloading. The download is now paused. You may unpause "
         "the download to try again. Error message: ")


def mount(*args):
    subprocess.run(["mount", *args], check=True, timeout=10)


@waiting_for_program
class DiskTests(DownloadTestCase):
    def setUp(self):
        super().setUp()
        self.mounts = []

    def tearDown(self):
        super().tearDown()
        for point in reversed(self.mounts):
            subprocess.run(["umount", "-l", point], timeout=10)

    def test_a_file_that_cannot_be_created(self):
        listed = self.publish([("first.bin", 100_000), ("second.bin", 100_000)])
        self.program = self.copy_program("program")
        product = self.product_dir()
        os.makedirs(product)
        with open(os.path.join(self.source, "first.bin"), "rb") as f:
            first = f.read()
        with open(os.path.join(product, "first.bin"), "wb") as f:
            f.write(first)
        mount("--bind", product, product)
        self.mounts.append(product)
        mount("-o", "remount,bind,ro", product)

        pid, hwnd = self.open_program(fresh=False)
        box = self.wait_dialog(pid)
        self.assertTrue(box["text"].startswith(ERROR + "Failed to create file "), box["text"])
        # The complete first file counts as done without being opened.
        self.assertIn("\\1000\\second.bin: ", box["text"])
        self.assertRegex(box["text"], r"\(Error \d+\)$")
        self.press(box, "OK")
        with open(os.path.join(product, "first.bin"), "rb") as f:
            self.assertEqual(f.read(), first)

        # Lazily: while paused the program still holds its folder open (nobody may swap it
        # meanwhile), and on Linux an open folder keeps its mount busy. Unpausing checks
        # the folder afresh, by its path, and finds it writable.
        subprocess.run(["umount", "-l", product], check=True, timeout=10)
        self.mounts.remove(product)
        self.click(hwnd, PAUSE_ID)
        self.wait_installer(hwnd)
        self.assert_product_arrived(listed)

    def test_a_full_disk(self):
        listed = self.publish([("a.bin", 600_000), ("b.bin", 900_000)])
        # The small disk holds the program and its folders: a mount point at the folders
        # themselves is a reparse point to Wine (and on Windows), which the program refuses.
        self.program = self.copy_program("program")
        home = os.path.dirname(self.program)
        room = os.path.getsize(self.program) // 4096 * 4096 + 4096
        mount("-t", "tmpfs", "-o", f"size={room + (1 << 20)}", "tmpfs", home)
        self.mounts.append(home)
        shutil.copy(harness.PROGRAM, self.program)

        pid, hwnd = self.open_program(fresh=False)
        box = self.wait_dialog(pid)
        self.assertTrue(box["text"].startswith(ERROR + "Failed to write to file: "), box["text"])
        self.press(box, "OK")
        # What reached the disk is the product's own bytes, and stays.
        for name, _ in listed:
            path = os.path.join(self.product_dir(), name)
            with open(path, "rb") as got, open(os.path.join(self.source, name), "rb") as want:
                data = got.read()
                self.assertEqual(data, want.read(len(data)), name)
        self.assertGreater(os.path.getsize(os.path.join(self.product_dir(), "a.bin")), 0)

        mount("-o", f"remount,size={room + (4 << 20)}", home)
        self.click(hwnd, PAUSE_ID)
        self.wait_installer(hwnd)
        self.assert_product_arrived(listed)

    def test_folders_that_others_could_have_changed_are_refused(self):
        # Wine shows a Unix mode as the folder's permissions (0777: Everyone may write),
        # another uid as another account, and a Unix link to a folder as a reparse point.
        listed = self.publish([("launch", 1000), ("data/a.bin", 100_000)])
        outside = tempfile.mkdtemp(prefix="qv-outside-")
        self.addCleanup(subprocess.run, ["rm", "-rf", outside], timeout=10)
        with open(os.path.join(outside, "keep.txt"), "wb") as f:
            f.write(b"not the product's")
        cases = (("anyone", "other users may change what is in it"),
                 ("link", "it is a link to another place (a junction or a symbolic link)"),
                 ("owner", "it belongs to another account"))
        for run, (kind, why) in enumerate(cases):
            self.program = self.copy_program(f"program-{run}")
            product = self.product_dir()
            temporary = os.path.dirname(product)
            os.makedirs(temporary)
            if kind == "link":
                os.symlink(outside, product)
            else:
                os.makedirs(product)
            if kind == "anyone":
                # A planted launch file at its listed size would count as done.
                with open(os.path.join(product, "launch"), "wb") as f:
                    f.write(b"P" * 1000)
            refused = temporary if kind == "anyone" else product
            if kind == "anyone":
                os.chmod(temporary, 0o777)
            elif kind == "owner":
                os.chown(product, 1234, 1234)
            before = _tree(temporary), _tree(outside)

            pid, hwnd = self.open_program(fresh=False)
            box = self.wait_dialog(pid)
            self.assertEqual(box["text"], f"{ERROR}The folder {harness.win_path(refused)} is not "
                             f"used because {why}. It may have been made by another user, and "
                             "this program would start what is in it as administrator. Move or "
                             "delete the folder, then unpause the download.")
            self.press(box, "OK")
            self.wait_status(hwnd, "Paused.")
            self.assertEqual((_tree(temporary), _tree(outside)), before, kind)
            self.assertEqual([r for r in downloads.nginx_requests(self.nginx)
                              if r["path"].startswith(self.path)], [])
            if kind == "anyone":
                # Stop, No deletes nothing in a folder the program would not use.
                self.click(hwnd, STOP_ID)
                self.press(self.wait_dialog(pid), "No")
                self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})
                self.assertEqual((_tree(temporary), _tree(outside)), before)
            elif kind == "owner":
                # Once the buyer has dealt with the folder, Unpause goes on.
                os.chown(product, 0, 0)
                self.click(hwnd, PAUSE_ID)
                self.wait_installer(hwnd)
                self.assert_product_arrived(listed[1:])  # launch is setup.exe by now
            else:
                self.driver.call("kill", pid)
                self.wait_exit(pid)


def _tree(top):
    """Every entry below top (links not followed): files with their contents, links with
    their targets."""
    found = {}
    for directory, folders, names in os.walk(top):
        for name in folders + names:
            path = os.path.join(directory, name)
            if os.path.islink(path):
                found[path] = "-> " + os.readlink(path)
            elif os.path.isfile(path):
                with open(path, "rb") as f:
                    found[path] = f.read()
            else:
                found[path] = oct(os.stat(path).st_mode)
    return found


if __name__ == "__main__":
    harness.main()
