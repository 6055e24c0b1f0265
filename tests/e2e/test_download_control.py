"""The download screen and its state machine through the real program and the fault
server: the screen's layout and line, pause and unpause (also while a read is stalled
and while waiting to reconnect), reconnection, the errors that pause with a box, the
stop question, and a silent server (broken off while waiting for headers, given up after
a minute without a byte)."""

import os
import re
import time

import downloads
import harness
from download_case import DownloadTestCase, PAUSE_ID, STOP_ID, TITLE
from harness import waiting_for_program

FILES = [("one.bin", 3_000_000), ("two/three.bin", 2_500_000), ("empty.bin", 0),
         ("four.bin", 2_500_000)]
LINE = re.compile(r"Downloading at [-0-9.]+ [kMG]?B/s\. [0-9.]+ [kMG]?B of 8\.00 MB done "
                  r"\(\d+\.\d%\)\. (\d+:\d\d:\d\d|Unknown time) remaining\.")
ERROR = ("An error has occured while downloading. The download is now paused. You may unpause "
         "the download to try again. Error message: ")
RECONNECTING = ". Reconnecting in 5 seconds... "


@waiting_for_program
class DownloadControlTests(DownloadTestCase):
    def setUp(self):
        super().setUp()
        self.listed = self.publish(FILES, host="127.0.0.2")

    def on_disk(self):
        total = 0
        for root, _, names in os.walk(self.product_dir()):
            total += sum(os.path.getsize(os.path.join(root, n)) for n in names)
        return total

    def set_faults(self, **faults):
        downloads.configure_faults(self.faults, **faults)

    def requests(self):
        return downloads.fault_requests(self.faults)

    def pause_within_a_second(self, hwnd):
        started = time.monotonic()
        self.click(hwnd, PAUSE_ID)
        self.wait_status(hwnd, "Paused. ", timeout=5)
        self.assertLess(time.monotonic() - started, 1.0)
        self.assertEqual(self.screen(hwnd)["pause"]["text"], "Unpause")

    def unpause_and_expect_range(self, hwnd):
        count, on_disk = len(self.requests()), self.on_disk()
        self.click(hwnd, PAUSE_ID)
        self.assertEqual(self.screen(hwnd)["pause"]["text"], "Pause")
        self.wait_for(lambda: len(self.requests()) > count, 10, "a new request")
        self.assertEqual(self.requests()[count]["range"], f"bytes={on_disk}-")

    def test_screen_and_pause_while_stalled_and_while_receiving(self):
        self.set_faults(stall_after=1_000_000)
        pid, hwnd = self.open_program()
        self.assertTrue(downloads.wait_stalled(self.faults))
        self.pause_within_a_second(hwnd)

        self.set_faults(throttle=1_500_000)
        self.unpause_and_expect_range(hwnd)
        self.wait_for(lambda: LINE.fullmatch(self.status(hwnd) or ""), 10, "the rate line")
        self.wait_for(lambda: re.search(r"\d:\d\d:\d\d remaining", self.status(hwnd)), 10,
                      "a time estimate")
        screen = self.screen(hwnd)
        h = self.driver.call("message_font")["cell_height"]
        self.assertEqual(screen["title"]["text"], f"Downloading {TITLE}")
        self.assertEqual(screen["title"]["rect"], [16, 44, 464, 44 + h * 3 // 2])
        status_y = 125 - 4 * h
        self.assertEqual(screen["status"]["rect"], [16, status_y, 464, status_y + h])
        bar_y = status_y + h + 6
        self.assertEqual(screen["bar"]["rect"], [16, bar_y, 464, bar_y + 2 * h])
        self.assertEqual(screen["stop"]["rect"], [258, bar_y + 2 * h + 6, 358, 151])
        self.assertEqual(screen["pause"]["rect"], [364, bar_y + 2 * h + 6, 464, 151])
        self.screenshot(hwnd)

        self.pause_within_a_second(hwnd)
        paused_at = self.on_disk()
        self.set_faults()
        self.unpause_and_expect_range(hwnd)
        self.assertGreater(paused_at, 1_000_000)
        self.wait_installer(hwnd)
        self.assert_product_arrived(self.listed)

    def test_reconnects_after_a_dropped_connection_and_pauses_while_waiting(self):
        self.set_faults(drop_after=1_000_000, times=2)
        pid, hwnd = self.open_program()
        self.wait_for(lambda: RECONNECTING in (self.status(hwnd) or ""), 15, "reconnecting")
        # Timed by the server: a slow look at the screen must not shorten the interval.
        first, second = self.wait_for(lambda: self.requests()[1:] and self.requests(), 10,
                                      "the second attempt")[:2]
        self.assertAlmostEqual(second["at"] - first["ended"], 5.0, delta=1.0)
        # The second attempt drops too; a pause while waiting takes effect at once and
        # no attempt follows.
        self.wait_for(lambda: RECONNECTING in (self.status(hwnd) or ""), 15, "reconnecting")
        self.pause_within_a_second(hwnd)
        time.sleep(6)  # longer than the reconnect delay: nothing may happen meanwhile
        self.assertEqual(len(self.requests()), 2)
        self.unpause_and_expect_range(hwnd)
        self.wait_installer(hwnd)
        self.assert_product_arrived(self.listed)

    def test_server_errors_pause_with_a_box_and_unpause_recovers(self):
        # Each fault answers one request; the next Unpause meets the next fault.
        faults = [
            ({"status": 404}, "Server did not accept the request. (Server replied with HTTP "
                              "status: 404, expected 200)"),
            ({"short_body": 1_200_000}, "Unexpected end of stream while reading from server."),
            ({"ignore_range": True}, "Server did not accept the request. (Server replied with "
                                     "HTTP status: 200, expected 206)"),
            # A range from elsewhere: nothing of it is written at the wrong place.
            ({"range_shift": 1000}, "Server did not accept the request. (Server replied with "
                                    "a range starting at byte 1201000, expected 1200000)"),
        ]
        pid = hwnd = None
        for fault, text in faults:
            self.set_faults(times=1, **fault)
            if pid is None:
                pid, hwnd = self.open_program()
            else:
                self.click(hwnd, PAUSE_ID)
            box = self.wait_dialog(pid)
            self.assertEqual(box["text"], ERROR + text)
            self.assertEqual(box["icon"], "warning")
            self.assertTrue(self.status(hwnd).startswith("Paused. "))
            self.assertEqual(self.screen(hwnd)["pause"]["text"], "Unpause")
            self.press(box, "OK")
        self.assertEqual(self.on_disk(), 1_200_000)  # the short body stays
        self.unpause_and_expect_range(hwnd)
        self.wait_installer(hwnd)
        self.assert_product_arrived(self.listed)

    def test_stop_question(self):
        self.set_faults(throttle=500_000)  # slow enough that the questions come first
        pid, hwnd = self.open_program()
        self.wait_status(hwnd, "Downloading at")
        self.click(hwnd, STOP_ID)
        question = self.wait_dialog(pid)
        self.assertEqual(question["text"], (
            "You are about to stop the download. Do you want to keep the downloaded files? "
            "Press Yes to keep the files so you can continue the download later. Press No to "
            "delete the files to free up disk space."))
        self.assertEqual(question["icon"], "question")
        self.assertEqual([b["text"] for b in question["buttons"]], ["&Yes", "&No", "Cancel"])
        self.press(question, "Cancel")
        on_disk = self.on_disk()
        self.wait_for(lambda: self.on_disk() > on_disk, 10, "the download to go on")

        self.driver.call("close", hwnd)  # closing asks the same question
        question = self.wait_dialog(pid)
        self.assertTrue(question["text"].startswith("You are about to stop the download."))
        self.press(question, "Yes")
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})
        self.assertGreater(self.on_disk(), on_disk)

        # A paused download removed: the product directory and the then empty
        # temporary directory go, without a request.
        self.set_faults(stall_after=500_000)  # what is left must not finish first
        pid, hwnd = self.open_program(fresh=False)
        self.assertTrue(downloads.wait_stalled(self.faults))
        self.pause_within_a_second(hwnd)
        count = len(self.requests())
        self.click(hwnd, STOP_ID)
        self.press(self.wait_dialog(pid), "No")
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})
        self.assertFalse(os.path.exists(os.path.dirname(self.product_dir())))
        self.assertEqual(len(self.requests()), count)

    def test_a_silent_server(self):
        # Waiting for the answer's headers: Pause, Stop and closing act within a second.
        self.set_faults(stall_before_headers=True, stall_seconds=600)
        pid, hwnd = self.open_program()
        self.assertTrue(downloads.wait_stalled(self.faults))
        self.pause_within_a_second(hwnd)
        for button, answer in (("stop", "Yes"), ("close", "No")):
            self.set_faults(stall_before_headers=True, stall_seconds=600)
            if button == "close":
                pid, hwnd = self.open_program(fresh=False)
            else:
                self.click(hwnd, PAUSE_ID)
            self.assertTrue(downloads.wait_stalled(self.faults))
            if button == "stop":
                self.click(hwnd, STOP_ID)
            else:
                self.driver.call("close", hwnd)
            question = self.wait_dialog(pid)
            started = time.monotonic()
            self.press(question, answer)
            self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})
            self.assertLess(time.monotonic() - started, 1.0, answer)
        self.assertFalse(os.path.exists(self.product_dir()))

        # Silent in the middle of the body for a minute: a dropped connection, and the
        # next attempt 5 s later asks for exactly what is on disk.
        self.set_faults(stall_after=1_000_000, stall_seconds=600, times=1)
        pid, hwnd = self.open_program(fresh=False)
        self.assertTrue(downloads.wait_stalled(self.faults))
        stalled_at = time.monotonic()
        self.wait_for(lambda: RECONNECTING in (self.status(hwnd) or ""), 75, "the time-out")
        self.assertRegex(self.status(hwnd), r"^[^.]* timed out\. Reconnecting in 5")
        second = self.wait_for(lambda: self.requests()[1:], 15, "the next attempt")[0]
        self.assertAlmostEqual(second["at"] - stalled_at, 65.0, delta=2.0)
        self.assertEqual(second["range"], "bytes=1000000-")
        downloads.release(self.faults)
        self.wait_installer(hwnd)
        self.assert_product_arrived(self.listed)

    def test_stop_answered_after_the_download_completed_changes_nothing(self):
        # A stalled answer holds the download still until the question is up.
        self.set_faults(stall_after=1_000_000, stall_then="continue")
        pid, hwnd = self.open_program()
        self.assertTrue(downloads.wait_stalled(self.faults))
        self.click(hwnd, STOP_ID)
        question = self.wait_dialog(pid)
        downloads.release(self.faults)
        # The download goes on under the question and hands over to the installer,
        # whose launch fails here (this product has no "launch" file) with a box.
        boxes = self.wait_for(lambda: [d for d in self.driver.call("dialogs", pid)["dialogs"]
                                       if d["text"].startswith("Failed to rename file.")],
                              30, "the download to complete under the question")
        self.press(boxes[0], "OK")
        self.wait_for(lambda: any(c["text"] == f"Installation finished - {TITLE}"
                                  for c in self.controls(hwnd)), 10, "the finished screen")
        self.press(question, "No")
        self.assertEqual(self.driver.call("wait_exit", pid, 1000)["exited"], False)
        self.assert_product_arrived(self.listed)


if __name__ == "__main__":
    harness.main()
