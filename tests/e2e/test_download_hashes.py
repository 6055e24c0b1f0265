"""A product whose store vouches for each file's SHA-256, through the real program: it
installs, a byte spoiled on the way is fetched again once, a file that stays wrong pauses
the download and nothing runs, the resume scan finds a file damaged on disk (and reads
nothing twice within a run), and a product republished between a pause and a restart is
fetched again file by file. Answers without hashes are every other download group's."""

import os
import re
import subprocess

import downloads
import harness
import test_install
from download_case import PAUSE_ID, TITLE, DownloadTestCase
from harness import waiting_for_program

ERROR = ("An error has occured while downloading. The download is now paused. You may unpause "
         "the download to try again. Error message: ")
MISMATCH = "The bytes of the file {} do not match what the store published."


@waiting_for_program
class HashedDownloadTests(DownloadTestCase):
    def installer_ran(self):
        return bool(test_install.installer_runs(self, self.product_dir()))

    def test_a_hashed_product_installs_after_a_flipped_byte_is_fetched_again(self):
        # One byte of "launch" (from 200,000 in the stream) spoiled on its way, once: that
        # file alone is asked for again, from its own offset, and the installer runs.
        listed = self.publish(test_install.product("close_after_ms=300\n"), host="127.0.0.2",
                              hashed=True)
        downloads.configure_faults(self.faults, flip_at=201_000, times=1)
        pid, hwnd = self.open_program()
        self.wait_for(self.installer_ran, 60, "the installer")
        self.wait_for(lambda: any(c["text"] == f"Installation finished - {TITLE}"
                                  for c in self.controls(hwnd)), 30, "the finished screen")
        self.assert_product_arrived(listed)
        self.assertEqual([r["range"] for r in downloads.fault_requests(self.faults)],
                         [None, "bytes=200000-"])

    def test_a_file_that_stays_wrong_pauses_naming_it_and_nothing_runs(self):
        self.publish(test_install.product("close_after_ms=300\n"), host="127.0.0.2",
                     hashed=True)
        downloads.configure_faults(self.faults, flip_at=201_000)
        pid, hwnd = self.open_program()
        box = self.wait_dialog(pid)
        self.assertEqual(box["text"], ERROR + MISMATCH.format("launch"))
        self.assertTrue(self.status(hwnd).startswith("Paused. "))
        self.assertEqual([r["range"] for r in downloads.fault_requests(self.faults)],
                         [None, "bytes=200000-"])
        self.press(box, "OK")
        self.assertEqual(os.path.getsize(os.path.join(self.product_dir(), "launch")), 0)
        self.assertFalse(self.installer_ran())

    def test_the_resume_scan_finds_a_file_damaged_on_disk_once_per_run(self):
        # 1.2 GB on disk (holes but for its ends, so the disk stays out of it) take the
        # scan a moment, which the status line says; then only b.bin is asked for.
        files = [("a.bin", 100_000), ("big.bin", 1_200_000_000), ("b.bin", 2_000_000),
                 ("c.bin", 50_000)]
        listed = self.publish(files, host="127.0.0.2", sparse_from=1_000_000, hashed=True)
        downloads.configure_faults(self.faults, throttle=1_000_000)
        self.program = self.copy_program("program")
        os.makedirs(self.product_dir())
        for name, _ in files:
            subprocess.run(["cp", "--sparse=always", os.path.join(self.source, name),
                            self.product_dir()], check=True, timeout=60)
        flip(os.path.join(self.product_dir(), "b.bin"), 1234)
        pid, hwnd = self.open_program(fresh=False)
        self.wait_for(lambda: self.status(hwnd) is not None, 30, "the download screen")
        seen = set()

        def checking_shown():
            text = self.status(hwnd)
            if text and re.match(r"Checking downloaded files \(\d+%\)\.\.\. ", text):
                seen.add(text)
            # Until the scan has been seen, or is over: the bytes flow or the screen went.
            return seen or text is None or text.startswith(("Downloading", "Connecting"))

        self.wait_for(checking_shown, 60, "the scan")
        print(f"[ measured ] {sorted(seen)}")
        self.assertTrue(seen)

        # Within the run the scan reads nothing twice: big.bin, changed behind its back
        # during a pause, is not read again (its hash would now fail, and it would be
        # asked for); the next request goes on where b.bin stands.
        b = os.path.join(self.product_dir(), "b.bin")
        self.wait_for(lambda: downloads.fault_requests(self.faults) and
                      300_000 <= os.path.getsize(b) < 2_000_000, 30, "some of b.bin anew")
        self.click(hwnd, PAUSE_ID)
        self.wait_status(hwnd, "Paused. ", timeout=60)
        flip(os.path.join(self.product_dir(), "big.bin"), 1_200_000_000 - 100)
        resumed = 1_200_100_000 + os.path.getsize(b)
        self.click(hwnd, PAUSE_ID)
        self.wait_installer(hwnd)
        self.assert_product_arrived([f for f in listed if f[0] != "big.bin"])
        self.assertEqual([r["range"] for r in downloads.fault_requests(self.faults)],
                         ["bytes=1200100000-", f"bytes={resumed}-"])

    def test_a_product_republished_between_a_pause_and_a_restart(self):
        # Same names and sizes, other bytes: the complete file and the one begun are each
        # fetched again from their own first byte, and the rest follows.
        files = [("a.bin", 1_000_000), ("b.bin", 4_000_000), ("c.bin", 1_000_000)]
        listed = self.publish(files, host="127.0.0.2", hashed=True)
        downloads.configure_faults(self.faults, throttle=2_000_000)
        pid, hwnd = self.open_program()
        self.wait_for(lambda: self.on_disk(listed) >= 1_500_000, 30, "a.bin and some of b.bin")
        self.click(hwnd, PAUSE_ID)
        self.wait_status(hwnd, "Paused. ", timeout=60)
        self.driver.call("kill", pid)
        self.wait_exit(pid)
        kept = self.on_disk(listed)
        self.assertLess(kept, 5_000_000)
        self.publish([(name, downloads.pattern(name + "/2", 0, size)) for name, size in files],
                     host="127.0.0.2", hashed=True)
        downloads.configure_faults(self.faults)
        pid, hwnd = self.open_program(fresh=False)
        self.wait_installer(hwnd)
        self.assert_product_arrived(listed)
        self.assertEqual([r["range"] for r in downloads.fault_requests(self.faults)],
                         [None, f"bytes={kept}-", "bytes=1000000-"])



def flip(path, offset):
    """Inverts one byte of a file in place."""
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)[0]
        f.seek(offset)
        f.write(bytes([byte ^ 0xFF]))


if __name__ == "__main__":
    harness.main()
