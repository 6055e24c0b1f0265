"""One copy per product: a second downloader of the same product refuses to start, one of
another product starts beside it. Copies are stamped with the store's tool, as a store
would hand them out."""

import os
import subprocess
import unittest

import harness
from harness import DriverError, E2ETestCase, PROGRAM, STAMP, waiting_for_program

REFUSAL = "Installation of this game is already in progress on this computer."


def waiting_for_stamp(test):
    return unittest.skipUnless(os.path.exists(STAMP), "waiting for the stamping tool")(test)


@waiting_for_program
class SingleInstanceTests(E2ETestCase):
    def stamped(self, name, token, product):
        source = self.copy_program(name + "-unstamped")
        target = os.path.join(os.path.dirname(os.path.dirname(source)), name,
                              os.path.basename(PROGRAM))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        subprocess.run([STAMP, source, target, token, product], check=True, timeout=30,
                       stdout=subprocess.DEVNULL)
        return target

    def assert_refused(self, pid, first_pid, first_hwnd):
        box = self.wait_dialog(pid)
        self.assertEqual(box["text"], REFUSAL)
        self.assertEqual(box["caption"], "Quarryvale Downloader")
        self.assertEqual(box["icon"], "information")
        self.assertEqual(box["owner"], 0)
        # No main window of its own while the box is up.
        with self.assertRaises(DriverError):
            self.driver.call("wait_window", pid, 0)
        self.press(box, "OK")
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})
        self.assertFalse(self.wait_exit(first_pid, 200)["exited"])
        self.assertTrue(self.window(first_hwnd)["visible"])

    def test_second_copy_of_the_same_file_refuses(self):
        first = self.start(PROGRAM)
        hwnd = self.wait_window(first)["hwnd"]
        second = self.start(PROGRAM)
        self.assert_refused(second, first, hwnd)

    @waiting_for_stamp
    def test_copies_stamped_for_the_same_product_refuse_and_another_product_starts(self):
        buyer_a = self.stamped("buyer-a", "aaaa1111", "4242")
        buyer_b = self.stamped("buyer-b", "bbbb2222", "4242")
        other = self.stamped("other-product", "cccc3333", "4343")

        def mutex(product):
            return self.driver.call("mutex", f"Quarryvale Downloader {product}")["exists"]

        self.assertFalse(mutex("4242"))
        first = self.start(buyer_a)
        first_hwnd = self.wait_window(first)["hwnd"]
        self.assertTrue(mutex("4242"))
        self.assertFalse(mutex("4343"))
        # Another buyer's copy of the same product, in another directory: still refused.
        self.assert_refused(self.start(buyer_b), first, first_hwnd)

        beside = self.start(other)
        beside_hwnd = self.wait_window(beside)["hwnd"]
        self.assertTrue(mutex("4343"))
        self.assertNotEqual(beside_hwnd, first_hwnd)
        self.assertEqual(self.driver.call("dialogs", beside)["dialogs"], [])
        self.assertTrue(self.window(first_hwnd)["visible"])
        self.assertTrue(self.window(beside_hwnd)["visible"])
        self.screenshot(beside_hwnd)

        for pid, hwnd in ((first, first_hwnd), (beside, beside_hwnd)):
            self.driver.call("close", hwnd)
            self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})

        self.assertFalse(mutex("4242"))
        # Once the first has gone its product may start again.
        again = self.start(buyer_b)
        self.wait_window(again)
        self.assertEqual(self.driver.call("dialogs", again)["dialogs"], [])


if __name__ == "__main__":
    harness.main()
