"""The driver itself, against a stand-in window whose answers are known: if these fail,
a failure in the program's groups says nothing about the program."""

import harness
from harness import E2ETestCase, FIXTURE, HTCAPTION, HTCLIENT


class DriverTests(E2ETestCase):
    def start_fixture(self):
        pid = self.start(FIXTURE)
        return pid, self.wait_window(pid)["hwnd"]

    def control(self, hwnd, control_id):
        found = [c for c in self.controls(hwnd) if c["id"] == control_id]
        self.assertEqual(len(found), 1)
        return found[0]

    def test_show_watch(self):
        pid = self.start(FIXTURE)
        self.assertEqual(self.wait_window(pid)["children_at_show"], 5)
        early = self.copy_program("qv-show-first.exe", FIXTURE)
        self.driver.call("kill", pid)
        shown = self.wait_window(self.start(early))
        self.assertEqual(shown["children_at_show"], 0)

    def test_window_geometry_and_region(self):
        pid, hwnd = self.start_fixture()
        info = self.window(hwnd)
        screen = self.driver.call("screen")
        self.assertEqual((info["width"], info["height"]), (480, 192))
        self.assertEqual(info["x"], screen["full_width"] // 2 - 240)
        self.assertTrue(info["visible"])
        self.assertEqual(info["pid"], pid)
        # The outline cuts the corners: (0, 0) lies outside, (5, 0) and (240, 96) inside.
        inside = lambda x, y: any(l <= x < r and t <= y < b for l, t, r, b in info["region"])
        self.assertFalse(inside(0, 0))
        self.assertTrue(inside(5, 0))
        self.assertTrue(inside(240, 96))

    def test_controls_typing_clicking_and_message_box(self):
        pid, hwnd = self.start_fixture()
        edit = self.control(hwnd, 21)
        self.assertEqual(edit["class"].upper(), "EDIT")
        self.driver.call("set_text", edit["hwnd"], "hello world 100%")
        self.assertEqual(self.control(hwnd, 21)["text"], "hello world 100%")

        self.assertTrue(self.control(hwnd, 11)["checked"])
        self.driver.call("click", self.control(hwnd, 12)["hwnd"])
        self.driver.call("window", hwnd)  # a round trip while the click is handled
        second = self.control(hwnd, 12)
        self.assertTrue(second["checked"])
        self.assertFalse(self.control(hwnd, 11)["checked"])
        self.assertTrue(second["enabled"])
        self.assertEqual(second["rect"], [130, 100, 230, 120])
        # The stand-in uses the message font, as the program's screens do.
        font = self.driver.call("message_font")
        self.assertEqual(second["font_height"], font["height"])
        self.assertEqual(second["font_cell_height"], font["cell_height"])
        self.assertEqual(second["font_weight"], font["weight"])

        self.driver.call("click", self.control(hwnd, 10)["hwnd"])
        box = self.wait_dialog(pid)
        self.assertEqual(box["caption"], harness.MAIN_CLASS)
        self.assertEqual(box["text"], "You typed: hello world 100%")
        self.assertEqual(box["icon"], "warning")
        self.assertEqual(box["owner"], hwnd)
        self.press(box, "OK")
        self.assertEqual(self.driver.call("dialogs", pid)["dialogs"], [])

    def test_about_hit_test_move_and_close(self):
        pid, hwnd = self.start_fixture()
        items = self.driver.call("system_menu", hwnd)["items"]
        self.assertEqual(items[-1], {"id": 1, "separator": False, "text": "&About..."})
        self.assertIn(61536, [item["id"] for item in items])  # SC_CLOSE

        self.driver.call("sys_command", hwnd, 1)
        box = self.wait_dialog(pid)
        self.assertEqual(box["icon"], "information")
        self.assertEqual(box["text"].split("\n"), ["Fixture", "second line"])
        self.press(box, "OK")

        self.assertEqual(self.hit_test(hwnd, 10, 28), HTCAPTION)
        self.assertEqual(self.hit_test(hwnd, 10, 29), HTCLIENT)
        moved = self.driver.call("move", hwnd, -300, -100)
        self.assertEqual((moved["x"], moved["y"]), (-300, -100))
        self.assertEqual(self.hit_test(hwnd, 10, 28), HTCAPTION)
        self.assertEqual(self.hit_test(hwnd, 10, 162), HTCLIENT)
        self.driver.call("move", hwnd, 100, 100)

        image = self.capture(hwnd)
        self.assertEqual(image.rgb(100, 10), (54, 82, 90))
        self.assertNotEqual(image.rgb(0, 0), (18, 27, 30))
        pixel = self.driver.call("pixel", hwnd, 100, 170)["rgb"]
        self.assertEqual(tuple(pixel), (60, 91, 101))  # footer row 7

        self.driver.call("close", hwnd)
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})

    def test_second_copy_and_kill(self):
        first, _ = self.start_fixture()
        second = self.start(FIXTURE)
        box = self.wait_dialog(second)
        self.assertEqual(box["text"], "Already running.")
        self.assertEqual(box["owner"], 0)
        self.press(box, "OK")
        self.assertEqual(self.wait_exit(second)["code"], 0)
        self.assertFalse(self.wait_exit(first, 200)["exited"])
        self.assertTrue(self.driver.call("kill", first)["was_running"])
        self.assertEqual(self.wait_exit(first, 1000)["code"], 1)


if __name__ == "__main__":
    harness.main()
