"""The disk refusing the program's files, in the sandbox's private mount namespace (as
root, permissions would not stop a write): a directory that cannot be written and a
disk that fills up. Each pauses with its box and loses nothing already on disk."""

import os
import subprocess

import harness
from download_case import DownloadTestCase, PAUSE_ID
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

        subprocess.run(["umount", product], check=True, timeout=10)
        self.mounts.remove(product)
        self.click(hwnd, PAUSE_ID)
        self.wait_installer(hwnd)
        self.assert_product_arrived(listed)

    def test_a_full_disk(self):
        listed = self.publish([("a.bin", 600_000), ("b.bin", 900_000)])
        self.program = self.copy_program("program")
        temporary = os.path.dirname(self.product_dir())
        os.makedirs(temporary)
        mount("-t", "tmpfs", "-o", "size=1m", "tmpfs", temporary)
        self.mounts.append(temporary)

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

        mount("-o", "remount,size=4m", temporary)
        self.click(hwnd, PAUSE_ID)
        self.wait_installer(hwnd)
        self.assert_product_arrived(listed)


if __name__ == "__main__":
    harness.main()
