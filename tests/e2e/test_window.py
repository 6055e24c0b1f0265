"""The main window as a user meets it: where it opens, its shape, every pixel of its
drawn frame, where it can be dragged and closed, the About box, and closing it."""

import datetime
import re

import harness
import store
from harness import E2ETestCase, HTCAPTION, HTCLIENT, HTCLOSE, PROGRAM, waiting_for_program

# Colour of each row of the title band, and of the same row of the footer band.
DECORATION = [
    (18, 27, 30), (99, 129, 141), (71, 106, 119), (68, 103, 116), (66, 100, 112),
    (64, 97, 108), (62, 94, 105), (60, 91, 101), (58, 88, 98), (56, 85, 94),
    (54, 82, 90), (52, 79, 87), (49, 77, 83), (48, 74, 79), (31, 49, 52),
    (0, 0, 0), (0, 0, 0), (0, 0, 0), (0, 0, 0), (0, 0, 0), (0, 0, 0),
    (3, 5, 5), (11, 16, 17), (19, 28, 30), (27, 40, 44), (36, 52, 57), (44, 65, 70),
    (81, 101, 106), (13, 19, 21),
]
OUTLINE = [
    (0, 5), (1, 3), (3, 1), (5, 0), (475, 0), (477, 1), (479, 3), (479, 4), (480, 187),
    (479, 187), (478, 189), (475, 191), (5, 192), (5, 191), (3, 190), (1, 188), (0, 186),
]
LOGO = (186, 9, 294, 19)  # left, top, right, bottom (exclusive)
CLOSE_BOX = (451, 3, 474, 26)
BORDER = (63, 63, 63)

WS_BORDER, WS_DLGFRAME, WS_SYSMENU = 0x00800000, 0x00400000, 0x00080000
WS_THICKFRAME, WS_MINIMIZEBOX, WS_MAXIMIZEBOX = 0x00040000, 0x00020000, 0x00010000
WS_EX_APPWINDOW = 0x00040000
SC_CLOSE = 0xF060

HIT_EXAMPLES = [
    ((10, 28), HTCAPTION), ((10, 29), HTCLIENT), ((10, 162), HTCLIENT),
    ((10, 163), HTCAPTION), ((240, 191), HTCAPTION), ((240, 0), HTCAPTION),
    ((451, 3), HTCLOSE), ((473, 25), HTCLOSE), ((462, 14), HTCLOSE),
    ((450, 10), HTCAPTION), ((474, 10), HTCAPTION), ((460, 2), HTCAPTION),
    ((460, 26), HTCAPTION), ((0, 96), HTCLIENT), ((479, 96), HTCLIENT),
]

STAMP = r"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} [+-]\d{4})"


def c_half(n):
    """Integer division by two as C does it (toward zero)."""
    return int(n / 2)


def inside(rects, x, y):
    return any(left <= x < right and top <= y < bottom for left, top, right, bottom in rects)


@waiting_for_program
class MainWindowTests(E2ETestCase):
    @classmethod
    def start_servers(cls):
        # A store that never answers keeps the first screen as it opens: no sign-in
        # failure box over the window.
        cls.store_state = store.start_store(cls, **store.SILENT)

    def open_window(self):
        pid = self.start(PROGRAM)
        shown = self.wait_window(pid)
        return pid, shown["hwnd"], shown

    def test_opens_centred_480_by_192_with_its_controls_already_in_place(self):
        _, hwnd, shown = self.open_window()
        # The first screen is built while the window is hidden: seen from inside the
        # program at the moment it is shown, and by polling from outside.
        self.assertGreater(shown["children_at_show"], 0)
        self.assertFalse(shown["visible_without_children"])
        info = self.window(hwnd)
        screen = self.driver.call("screen")
        self.assertEqual((info["width"], info["height"]), (480, 192))
        self.assertEqual(info["x"], c_half(screen["full_width"]) - 240)
        self.assertEqual(info["y"], c_half(screen["full_height"]) - 96)
        self.assertEqual(info["title"], harness.MAIN_CLASS)
        style = info["style"]
        for flag in (WS_BORDER, WS_DLGFRAME, WS_SYSMENU, WS_MINIMIZEBOX):
            self.assertTrue(style & flag, hex(flag))
        self.assertFalse(style & (WS_MAXIMIZEBOX | WS_THICKFRAME))
        self.assertTrue(info["exstyle"] & WS_EX_APPWINDOW)

    def test_region_is_the_outline_polygon(self):
        _, hwnd, _ = self.open_window()
        region = self.window(hwnd)["region"]
        self.assertIsNotNone(region, "the window has no region")
        flat = [c for point in OUTLINE for c in point]
        expected = self.driver.call("polygon_region", *flat)["region"]
        self.assertEqual(sorted(region), sorted(expected))
        bounds = (min(r[0] for r in region), min(r[1] for r in region),
                  max(r[2] for r in region), max(r[3] for r in region))
        self.assertEqual(bounds, (0, 0, 480, 192))
        # The cut corners, just outside and just inside each step.
        for point in ((0, 0), (479, 0), (0, 191), (479, 191), (4, 0), (475, 0), (0, 4),
                      (479, 4), (0, 187), (479, 187), (4, 191), (475, 191)):
            self.assertFalse(inside(region, *point), point)
        for point in ((5, 0), (474, 0), (0, 5), (479, 5), (0, 186), (479, 186), (5, 191),
                      (474, 191), (240, 96)):
            self.assertTrue(inside(region, *point), point)

        # Outside the region the window has no pixels and takes no mouse input.
        info = self.window(hwnd)
        at_corner = self.driver.call("window_from_point", info["x"], info["y"])
        self.assertNotEqual(at_corner["root"], hwnd)
        at_band = self.driver.call("window_from_point", info["x"] + 100, info["y"] + 10)
        self.assertEqual(at_band["root"], hwnd)
        image = self.capture(hwnd)
        self.assertNotEqual(image.rgb(0, 0), DECORATION[0])
        self.assertNotEqual(image.rgb(479, 191), DECORATION[28])

    def assert_row(self, image, region, y, colour, skip=()):
        wrong = [x for x in range(480)
                 if inside(region, x, y) and not any(a <= x < b for a, b in skip)
                 and image.rgb(x, y) != colour]
        self.assertEqual(wrong[:5], [], f"row {y}: {image.rgb(wrong[0], y) if wrong else ''}"
                         f" instead of {colour}")

    def test_frame_pixels(self):
        _, hwnd, _ = self.open_window()
        region = self.window(hwnd)["region"]
        image = self.capture(hwnd)
        logo_cols = (LOGO[0], LOGO[2])
        close_cols = (CLOSE_BOX[0], CLOSE_BOX[2])
        for y, colour in enumerate(DECORATION):
            skip = []
            if LOGO[1] <= y < LOGO[3]:
                skip.append(logo_cols)
            if CLOSE_BOX[1] <= y < CLOSE_BOX[3]:
                skip.append(close_cols)
            self.assert_row(image, region, y, colour, skip)
            # The footer is the same gradient, without logo or glyph.
            self.assert_row(image, region, 163 + y, colour)

        # The word mark and the glyph fill their boxes: their edges are drawn, not the
        # gradient showing through.
        def differs(box):
            left, top, right, bottom = box
            return sum(image.rgb(x, y) != DECORATION[y]
                       for y in range(top, bottom) for x in range(left, right))

        self.assertGreater(differs(LOGO), 50)
        glyph_edge = [(x, y) for x in range(451, 474) for y in (3, 25)] + \
                     [(x, y) for x in (451, 473) for y in range(3, 26)]
        self.assertTrue(all(image.rgb(x, y) != DECORATION[y] for x, y in glyph_edge))
        self.assertGreater(differs(CLOSE_BOX), 23 * 23 * 3 // 4)

        # Client band: border columns and the button face wherever no control lies.
        face = tuple(self.driver.call("screen")["button_face"])
        controls = [c["rect"] for c in self.controls(hwnd) if c["visible"]]
        for y in range(29, 163):
            self.assertEqual(image.rgb(0, y), BORDER, f"x 0, y {y}")
            self.assertEqual(image.rgb(479, y), BORDER, f"x 479, y {y}")
            wrong = [x for x in range(1, 479)
                     if not inside(controls, x, y) and image.rgb(x, y) != face]
            self.assertEqual(wrong[:5], [], f"row {y} is not the button face")

    def assert_hit_tests(self, hwnd):
        for (x, y), expected in HIT_EXAMPLES:
            self.assertEqual(self.hit_test(hwnd, x, y), expected, f"at ({x}, {y})")

    def test_hit_tests_on_and_off_the_primary_display(self):
        _, hwnd, _ = self.open_window()
        self.assert_hit_tests(hwnd)
        for x, y in ((-300, 40), (40, -120), (-1000, -600)):
            moved = self.driver.call("move", hwnd, x, y)
            self.assertEqual((moved["x"], moved["y"]), (x, y))
            self.assert_hit_tests(hwnd)
        self.driver.call("move", hwnd, 100, 100)

    def test_about_box(self):
        pid, hwnd, _ = self.open_window()
        # The command is the system menu's last item, right after the system's own last
        # one (Wine ends its menu with an About of its own), with no separator between.
        items = self.driver.call("system_menu", hwnd)["items"]
        self.assertEqual(items[-1], {"id": 1, "separator": False, "text": "&About..."})
        self.assertFalse(items[-2]["separator"], items)
        self.assertIn(SC_CLOSE, [item["id"] for item in items])
        for _ in range(2):  # it opens again once closed
            self.driver.call("sys_command", hwnd, 1)
            box = self.wait_dialog(pid)
            self.assertEqual(box["caption"], "Quarryvale Downloader")
            self.assertEqual(box["owner"], hwnd)
            self.assertEqual(box["icon"], "information")
            self.assertEqual([b["text"].replace("&", "") for b in box["buttons"]], ["OK"])
            lines = box["text"].split("\n")
            self.assertEqual(len(lines), 5, lines)
            self.assertEqual(lines[0], "Quarryvale Downloader")
            build = re.fullmatch("Build: " + STAMP, lines[1])
            revision = re.fullmatch(r"Revision: (\d+) \(" + STAMP + r"\)", lines[2])
            self.assertTrue(build, lines[1])
            self.assertTrue(revision, lines[2])
            built = datetime.datetime.strptime(build[1], "%Y-%m-%d %H:%M:%S %z")
            committed = datetime.datetime.strptime(revision[2], "%Y-%m-%d %H:%M:%S %z")
            now = datetime.datetime.now(datetime.timezone.utc)
            self.assertLessEqual(built, now + datetime.timedelta(minutes=5))
            self.assertLessEqual(committed, now + datetime.timedelta(minutes=5))
            self.assertGreater(int(revision[1]), 0)
            self.assertTrue(lines[3].strip() and lines[4].strip(), lines)
            self.press(box, "OK")
        self.assertFalse(self.wait_exit(pid, 200)["exited"])
        self.assertTrue(self.window(hwnd)["visible"])

    def test_closing_on_the_sign_in_screen_ends_with_code_0(self):
        pid, hwnd, _ = self.open_window()
        self.screenshot(hwnd)
        self.driver.call("close", hwnd)
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})

    def test_close_command_ends_with_code_0(self):
        # What the close box and Alt+F4 do: the system's own close command.
        pid, hwnd, _ = self.open_window()
        self.driver.call("sys_command", hwnd, SC_CLOSE)
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})


if __name__ == "__main__":
    harness.main()
