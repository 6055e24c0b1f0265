"""What the server has sent reaches the disk and the status line at once, whatever it
does next: through the real program and the fault server over plain HTTP and over
HTTPS (as downloads.test, where the other download groups have nginx), a burst and then
silence on an open connection, from the stream's start and after a resumed range, in
sizes that are and are not whole records, a trickle of single bytes, and a burst at full
speed that the rest follows on the same connection after the silence."""

import os
import tempfile
import time

import downloads
import harness
import store
from download_case import PAUSE_ID, DownloadTestCase
from harness import waiting_for_program

# The first file ends inside the first burst, so a burst also crosses into the next.
FILES = [("setup.exe", 100_000), ("data/one.bin", 1_900_000)]
# A burst at 1 MB/s in 16 KB writes, as a server behind a slow link sends it.
WRITE, RATE = 16_384, 1_000_000
# On disk and counted on the line within a refresh tick (1 s) of the last byte sent,
# with room for this poll's own round trips to the window; the silence limit is 60 s.
AT_ONCE_S = 2.0


def size_text(count):
    """The line's text for a byte count (the program's prefix_format)."""
    if count < 1000:
        return f"{count} B"
    return f"{count / 1e3:.2f} kB" if count < 1_000_000 else f"{count / 1e6:.2f} MB"


@waiting_for_program
class BurstTests(DownloadTestCase):
    @classmethod
    def start_servers(cls):
        cls.webroot = tempfile.mkdtemp(prefix="qv-webroot-")
        cls.sources = tempfile.mkdtemp(prefix="qv-sources-")
        cls.store_state = store.start_store(cls, http_port=0)
        cls.nginx = cls.secure_nginx = None
        cls.faults = downloads.start_fault_server(cls, cls.webroot)
        cls.secure_faults = downloads.start_fault_server(
            cls, cls.webroot, downloads.SECURE_ADDRESS, 443,
            tls=[os.path.join(store.CERTS, name) for name in ("server.pem", "server.key")])

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        downloads.remove_state(cls.secure_faults)

    def send_then_fall_silent(self, state, size, write=WRITE, rate=RATE):
        """The next answer sends size bytes of its body, then nothing while the
        connection stays open."""
        downloads.configure_faults(state, stall_after=size, stall_seconds=600, write_size=write,
                                   throttle=rate, times=1)

    def expect_at_once(self, hwnd, state, listed, want, what):
        self.assertTrue(downloads.wait_stalled(state, timeout=30), what)
        last_byte = os.path.getmtime(os.path.join(state, "stalled"))
        line = f" {size_text(want)} of "
        seen = {}

        def arrived():
            seen.update(disk=self.on_disk(listed), line=self.status(hwnd) or "")
            return seen["disk"] == want and line in seen["line"]

        arrived_in_time = harness.poll(arrived, 10) is not None
        delay = time.time() - last_byte
        self.assertTrue(arrived_in_time, f"{what}: {want} bytes wanted on disk and{line!r}on the "
                        f"line; {delay:.1f} s after the last byte there are {seen['disk']} "
                        f"and {seen['line']!r}")
        print(f"[ measured ] {what}: on disk and on the line {delay:.2f} s after the last byte")
        self.assertLess(delay, AT_ONCE_S, what)

    def pause(self, hwnd):
        self.click(hwnd, PAUSE_ID)
        self.wait_status(hwnd, "Paused. ", timeout=5)

    def test_what_arrived_is_on_disk_and_on_the_line_within_a_tick(self):
        for secure in (False, True):
            state = self.secure_faults if secure else self.faults
            name = "https" if secure else "http"
            listed = self.publish(FILES, host="https://" + downloads.SECURE_HOST if secure
                                  else "127.0.0.2")

            # From the stream's start: ten whole 16 KB records, then silence.
            self.send_then_fall_silent(state, 163_840)
            pid, hwnd = self.open_program()
            self.expect_at_once(hwnd, state, listed, 163_840, f"{name}, fresh, 163,840")
            self.assertEqual([r["range"] for r in downloads.fault_requests(state)], [None])

            # A resumed range after Pause, a burst that is no whole number of records.
            self.pause(hwnd)
            self.send_then_fall_silent(state, 100_001)
            self.click(hwnd, PAUSE_ID)
            self.expect_at_once(hwnd, state, listed, 263_841, f"{name}, resumed, 100,001")
            self.assertEqual([r["range"] for r in downloads.fault_requests(state)],
                             ["bytes=163840-"])

            # A trickle: one byte per write, ten a second.
            self.pause(hwnd)
            self.send_then_fall_silent(state, 20, write=1, rate=10)
            self.click(hwnd, PAUSE_ID)
            self.expect_at_once(hwnd, state, listed, 263_861, f"{name}, trickle of 20")

            # A restart resumes from the disk: a burst, then silence.
            self.driver.call("kill", pid)
            self.assertTrue(self.wait_exit(pid)["exited"])
            self.send_then_fall_silent(state, 50_000)
            pid, hwnd = self.open_program(fresh=False)
            self.expect_at_once(hwnd, state, listed, 313_861, f"{name}, restarted, 50,000")
            self.assertEqual([r["range"] for r in downloads.fault_requests(state)],
                             ["bytes=263861-"])

            # At full speed, whole reads, then silence and then the rest on the same
            # connection: the last read is on disk at once, and the read that waited
            # through the silence loses nothing when the bytes come again.
            self.pause(hwnd)
            downloads.configure_faults(state, stall_after=327_680, stall_seconds=600,
                                       stall_then="continue", write_size=65_536, times=1)
            self.click(hwnd, PAUSE_ID)
            self.expect_at_once(hwnd, state, listed, 641_541, f"{name}, full speed, 327,680")
            downloads.release(state)
            self.wait_installer(hwnd)
            self.assert_product_arrived(listed)
            self.assertEqual([r["range"] for r in downloads.fault_requests(state)],
                             ["bytes=313861-"])
            self.driver.call("kill", pid)
            self.assertTrue(self.wait_exit(pid)["exited"])
            downloads.release(state)


if __name__ == "__main__":
    harness.main()
