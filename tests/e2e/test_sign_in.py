"""Signing in through the real program against the local store (tools/store/store.py):
the token phase, the account form, every answer of the store and what the store saw."""

import os
import re
import time

import harness
import store
from harness import REPO, E2ETestCase, PROGRAM, waiting_for_program

def demo_token_block():
    """The token and product the built program carries before any stamping."""
    with open(os.path.join(REPO, "src", "resources", "token_format.h")) as f:
        text = f.read()
    token = re.search(r'#define QV_DEMO_TOKEN "([^"]*)"', text).group(1)
    product = re.search(r'#define QV_DEMO_PRODUCT "([^"]*)"', text).group(1)
    return token, product


TOKEN, PRODUCT = demo_token_block()
PRODUCT_FIELDS = ["Quarry Quest", "setup.exe", "localhost/quest", "data/a.bin", "100"]
CANNOT_UNDERSTAND = ("Failed to sign in. The server sent a response that this program cannot "
                     "understand.")
NOT_FROM_STORE = ("Failed to sign in. Invalid response from server. Check that your computer "
                  "is connected to the internet.")
ES_PASSWORD = 0x20


class StoreTestCase(E2ETestCase):
    """A group with the store on ports 443 and 80 of its namespace."""

    trusted = True
    state = None

    @classmethod
    def start_servers(cls):
        cls.state = store.start_store(cls, trusted=cls.trusted)

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        store.remove_state(cls.state)

    def configure(self, **config):
        store.configure(self.state, **config)

    def requests(self):
        return store.requests(self.state)

    # The program's screen.

    def open_program(self):
        pid = self.start(PROGRAM)
        return pid, self.wait_window(pid)["hwnd"]

    def by_id(self, hwnd):
        return {c["id"]: c for c in self.controls(hwnd) if c["id"] != 0}

    def status_label(self, hwnd):
        labels = [c for c in self.controls(hwnd)
                  if c["class"] == "Static" and c["id"] == 0 and c["text"] not in
                  ("Account name:", "Password:")]
        self.assertEqual(len(labels), 1, labels)
        return labels[0]

    def wait_for_form(self, hwnd):
        self.wait_for(lambda: 102 in self.by_id(hwnd), what="the form")
        return self.by_id(hwnd)

    def wait_for_idle_form(self, hwnd):
        return self.wait_for(lambda: self.by_id(hwnd).get(102, {}).get("enabled"),
                             what="the idle form")

    def no_box(self, pid):
        return not self.driver.call("dialogs", pid)["dialogs"]

    def answer_box(self, pid, text):
        box = self.wait_dialog(pid)
        self.assertEqual(box["text"], text)
        self.assertEqual(box["caption"], "Quarryvale Downloader")
        self.assertEqual(box["icon"], "information")
        self.press(box, "OK")

    def submit(self, hwnd, name, password):
        self.driver.call("set_text", self.by_id(hwnd)[100]["hwnd"], name)
        self.driver.call("set_text", self.by_id(hwnd)[101]["hwnd"], password)
        form = self.by_id(hwnd)
        self.assertTrue(form[102]["enabled"])
        self.driver.call("click", form[102]["hwnd"])
        # A quick store may replace the form before a poll sees it disabled.
        self.wait_for(lambda: not self.by_id(hwnd).get(100, {"enabled": False})["enabled"],
                      what="the form to be disabled or gone")


@waiting_for_program
class SignInTests(StoreTestCase):
    def test_accepted_token_hands_over_and_the_store_saw_the_token(self):
        self.configure(tokens=[TOKEN], products={PRODUCT: PRODUCT_FIELDS})
        pid, hwnd = self.open_program()
        self.wait_for(lambda: any(c["text"] == "Downloading Quarry Quest"
                                  for c in self.controls(hwnd)), what="the download screen")
        requests = [r for r in self.requests() if r["path"] == "/downloader_sign_in"]
        self.assertEqual(len(requests), 1)
        self.assertEqual(requests[0]["method"], "POST")
        self.assertEqual(requests[0]["path"], "/downloader_sign_in")
        self.assertEqual(requests[0]["body"], f"cookie={TOKEN}&product={PRODUCT}")
        self.assertIn(["Content-Type", "application/x-www-form-urlencoded"],
                      requests[0]["headers"])

    def test_refused_token_shows_the_form_and_a_wrong_password_keeps_it(self):
        self.configure(accounts={"anna": "right"}, products={PRODUCT: PRODUCT_FIELDS})
        pid, hwnd = self.open_program()
        form = self.wait_for_form(hwnd)
        self.assertTrue(self.no_box(pid))
        self.assertEqual(form[100]["class"], "Edit")
        self.assertTrue(form[101]["style"] & ES_PASSWORD)
        self.assertEqual(form[102]["text"], "OK")
        self.assertFalse(form[102]["enabled"])
        texts = [c["text"] for c in self.controls(hwnd)]
        self.assertIn("Account name:", texts)
        self.assertIn("Password:", texts)
        self.capture(hwnd)  # the form, for a person to look at

        # OK only while both boxes hold text.
        self.driver.call("set_text", form[100]["hwnd"], "anna")
        self.assertFalse(self.by_id(hwnd)[102]["enabled"])
        self.driver.call("set_text", form[101]["hwnd"], "wrong")
        self.assertTrue(self.by_id(hwnd)[102]["enabled"])
        self.driver.call("set_text", form[100]["hwnd"], "")
        self.assertFalse(self.by_id(hwnd)[102]["enabled"])

        self.submit(hwnd, "anna", "wrong")
        self.answer_box(pid, "Wrong user name/password")
        form = self.wait_for_idle_form(hwnd) and self.by_id(hwnd)
        self.assertEqual(form[100]["text"], "anna")
        self.assertTrue(form[100]["enabled"] and form[101]["enabled"])
        self.assertEqual(self.status_label(hwnd)["text"], "")

        # The right password signs in.
        self.configure(accounts={"anna": "right"}, products={PRODUCT: PRODUCT_FIELDS})
        self.submit(hwnd, "anna", "right")
        self.wait_for(lambda: any(c["text"] == "Downloading Quarry Quest"
                                  for c in self.controls(hwnd)), what="the download screen")
        self.assertEqual(self.requests()[0]["fields"],
                         [["name", "anna"], ["password", "right"], ["product", PRODUCT]])

    def test_every_answer_of_the_store_gets_its_message(self):
        self.configure(force={"body": "quarryvale\0error\0The store is closed today."})
        pid, hwnd = self.open_program()
        self.answer_box(pid, "The store is closed today.")
        self.wait_for_form(hwnd)
        cases = [
            ({"body": "quarryvale\0error\0"}, ""),
            ({"body": "quarryvale\0error"}, CANNOT_UNDERSTAND),
            ({"body": "quarryvale\0OK\0x"}, CANNOT_UNDERSTAND),
            ({"body": "quarryvale\0"}, CANNOT_UNDERSTAND),
            ({"body": "quarryvale"}, CANNOT_UNDERSTAND),
            ({"body": "<html>not the store</html>"}, NOT_FROM_STORE),
            ({"body": ""}, NOT_FROM_STORE),
            ({"status": 503, "body": "busy"},
             "Failed to sign in: Server did not accept the request. Check that the computer is "
             "connected to the Internet and that no firewall is blocking this program. (Server "
             "replied with HTTP status: 503, expected 200)"),
        ]
        for force, message in cases:
            with self.subTest(force=force):
                self.configure(force=force)
                self.submit(hwnd, "anna", "pw")
                self.answer_box(pid, message)
                self.wait_for_idle_form(hwnd)
                self.assertEqual(self.by_id(hwnd)[100]["text"], "anna")

    def test_connection_dropped_mid_answer_is_a_network_failure(self):
        self.configure(force={"body": "quarryvale\0ok\0" + "x" * 4000, "drop_after": 100})
        pid, hwnd = self.open_program()
        box = self.wait_dialog(pid)
        self.assertTrue(box["text"].startswith("Failed to sign in: "), box["text"])
        self.assertIn("Check that the computer is connected to the Internet", box["text"])
        self.press(box, "OK")
        self.wait_for_form(hwnd)

    def test_long_name_is_cut_and_an_awkward_password_arrives_intact(self):
        self.configure()
        pid, hwnd = self.open_program()
        self.wait_for_form(hwnd)
        password = "a b&c=d%e+é"  # é reaches the program as two bytes (UTF-8)
        self.submit(hwnd, "n" * 150, password)
        self.answer_box(pid, "Wrong user name/password")
        fields = dict(self.requests()[-1]["fields"])
        self.assertEqual(fields["name"], "n" * 99)
        self.assertEqual(fields["password"], password.encode("utf-8").decode("latin-1"))
        self.assertIn("password=a%20b%26c%3dd%25e%2b%c3%a9&", self.requests()[-1]["body"])

    def test_progress_texts_show_in_the_status_label(self):
        # A slow answer keeps the exchange open long enough to watch the label.
        self.configure(force={"body": "quarryvale\0not_signed_in", "chunk": 4,
                              "chunk_delay": 0.4})
        pid, hwnd = self.open_program()
        seen = set()

        def label_says_receiving():
            for c in self.controls(hwnd):
                if c["class"] == "Static" and c["text"].endswith("..."):
                    seen.add(c["text"])
            return "Recieving response..." in seen

        self.wait_for(label_says_receiving, what="Recieving response...")
        self.wait_for_form(hwnd)
        self.assertTrue(self.no_box(pid))
        self.assertEqual(self.status_label(hwnd)["text"], "")

    def test_unsafe_products_are_refused_before_anything_is_created(self):
        # An installer name that climbs out of the product's directory, a file Windows
        # opens as a device, two names Windows stores as one file, a host with a port,
        # and a malformed hash.
        for fields in (["T", "..\\setup.exe", "localhost/x"],
                       ["T", "setup.exe", "localhost/x", "a.bin", "1", "sub/Nul.txt", "1"],
                       ["T", "setup.exe", "localhost/x", "Data/a.bin", "1", "data\\A.BIN", "1"],
                       ["T", "setup.exe", "https://localhost:8443/x", "a.bin", "1"],
                       # A hash a digit short: the store vouches for nothing it can mean.
                       ["T", "setup.exe", "localhost/x", "a.bin", "1", "sha256:" + "0" * 63]):
            with self.subTest(fields=fields):
                self.configure(tokens=[TOKEN], products={PRODUCT: fields})
                program = self.copy_program("program")
                pid = self.start(program)
                hwnd = self.wait_window(pid)["hwnd"]
                box = self.wait_dialog(pid)
                self.assertEqual(box["text"],
                                 "The server sent a response that this program cannot understand.")
                self.assertEqual(box["icon"], "warning")
                self.press(box, "OK")
                self.assertEqual(self.controls(hwnd), [])
                # Closing the empty download screen asks whether to keep the files.
                self.driver.call("close", hwnd)
                question = self.wait_dialog(pid)
                self.assertTrue(question["text"].startswith("You are about to stop the download."))
                self.press(question, "Yes")
                self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})
                # No download was asked for and nothing was written beside the program.
                self.assertEqual([r["path"] for r in self.requests()], ["/downloader_sign_in"])
                self.assertEqual(os.listdir(os.path.dirname(program)),
                                 [os.path.basename(program)])

    def test_closing_the_window_during_sign_in_ends_with_code_0(self):
        self.configure(force={"stall_before_headers": True, "stall_seconds": 30})
        pid, hwnd = self.open_program()
        self.wait_for(lambda: self.requests(), what="the request to arrive")
        self.driver.call("close", hwnd)
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})


@waiting_for_program
class UntrustedStoreTests(StoreTestCase):
    trusted = False

    def test_certificate_from_an_unknown_authority_fails_the_sign_in(self):
        self.configure(tokens=[TOKEN], products={PRODUCT: PRODUCT_FIELDS})
        pid, hwnd = self.open_program()
        box = self.wait_dialog(pid)
        self.assertTrue(box["text"].startswith("Failed to sign in: "), box["text"])
        self.press(box, "OK")
        self.wait_for_form(hwnd)
        self.assertEqual(self.requests(), [])


@waiting_for_program
class NoStoreTests(E2ETestCase):
    def test_no_server_in_the_token_phase_fails_then_shows_the_form(self):
        pid = self.start(PROGRAM)
        hwnd = self.wait_window(pid)["hwnd"]
        box = self.wait_dialog(pid)
        self.assertTrue(box["text"].startswith("Failed to sign in: "), box["text"])
        self.assertTrue(box["text"].endswith(
            ". Check that the computer is connected to the Internet and that no firewall is "
            "blocking this program."), box["text"])
        self.press(box, "OK")
        deadline = time.monotonic() + 10
        while 102 not in {c["id"] for c in self.controls(hwnd)}:
            self.assertLess(time.monotonic(), deadline, "no form")
            time.sleep(0.1)


if __name__ == "__main__":
    harness.main()
