"""Downloading through the real program from nginx: a fresh download of nested and
empty files, a buyer's stamped and signed copy, names in a double-byte code page, resume
after the program is killed, and the stream's part boundaries."""

import os
import random
import shutil
import subprocess
import tempfile
import time

import downloads
import harness
import store
from download_case import PAUSE_ID, DownloadTestCase
from test_sign_in import TOKEN
from harness import waiting_for_program

NESTED = [("a.bin", 300_000), ("empty-1.bin", 0), ("a/b/c.bin", 1_000_000),
          ("d.bin", 70_001), ("z/empty-2.bin", 0), ("empty-3.bin", 0)]
# Sent with "\\" between their folders (the last one with both slashes).
BACKSLASHED = [("lvl/a/one.bin", 40_000), ("lvl/a/b/two.bin", 0), ("lvl/a/b/three.bin", 7),
               ("lvl/mixed/x/four.bin", 3)]


@waiting_for_program
class DownloadTests(DownloadTestCase):
    def test_fresh_download_of_nested_and_empty_files(self):
        # Over HTTPS, as a store that names it gets; every request goes to port 443. The
        # store may write "\\" between folders as well as "/", or both in one name.
        listed = self.publish(NESTED + BACKSLASHED, host="HTTPS://" + downloads.SECURE_HOST)
        as_sent = [(name.replace("/", "\\", 2 if name.startswith("lvl/mixed") else -1)
                    if name.startswith("lvl/") else name, size) for name, size in listed]
        self.assertIn(("lvl\\a\\one.bin", 40_000), as_sent)
        self.assertIn(("lvl\\mixed\\x/four.bin", 3), as_sent)
        store.configure(self.store_state, tokens=[TOKEN], products={self.product: (
            downloads.product_fields(as_sent, server="HTTPS://" + downloads.SECURE_HOST +
                                     self.path))})
        pid, hwnd = self.open_program()
        self.wait_installer(hwnd)
        self.screenshot(hwnd)
        self.assert_product_arrived(listed)
        for folder in (("a", "b"), ("lvl", "a", "b"), ("lvl", "mixed", "x")):
            self.assertTrue(os.path.isdir(os.path.join(self.product_dir(), *folder)), folder)
        gets = [r for r in downloads.nginx_requests(self.secure_nginx) if r["path"] == self.path]
        self.assertEqual([(r["range"], r["status"]) for r in gets], [(None, 200)])
        self.assertEqual([r for r in downloads.nginx_requests(self.nginx)
                          if r["path"] == self.path], [])

    def test_certificates_that_fail_the_checks_are_network_errors(self):
        # A name the certificate does not carry, and an authority nobody trusts: the
        # platform's text and the reconnect, and not one byte written.
        untrusted = tempfile.mkdtemp(prefix="qv-untrusted-")
        subprocess.run([store.MAKE_CERTS, untrusted, "untrusted.test"], check=True, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        downloads.start_nginx(self, self.webroot, "127.0.0.4", 443,
                              tls=[os.path.join(untrusted, n) for n in ("server.pem", "server.key")])
        for host in ("https://mismatch.test", "https://untrusted.test"):
            listed = self.publish(NESTED[:1], host=host)
            pid, hwnd = self.open_program()
            self.wait_for(lambda: (self.status(hwnd) or "").count(
                ". Reconnecting in 5 seconds...") == 1, 30, f"the reconnect text for {host}")
            print(f"[ measured ] {host}: {self.status(hwnd)!r}")
            self.assertFalse(os.path.exists(self.product_dir()), host)
            self.driver.call("kill", pid)
        shutil.rmtree(untrusted, ignore_errors=True)

    def test_redirects_that_keep_or_upgrade_the_scheme_only(self):
        # nginx's /redirect/SCHEME/HOST/PATH answers 302 to SCHEME://HOST/PATH. From https
        # to plain http: a network error, nothing written, the plain server never asked.
        secure = "https://" + downloads.SECURE_HOST
        listed = self.publish(NESTED[:1], host=secure + "/redirect/http/127.0.0.1")
        pid, hwnd = self.open_program()
        self.wait_for(lambda: ". Reconnecting in 5 seconds..." in (self.status(hwnd) or ""), 30,
                      "the reconnect text")
        print(f"[ measured ] https to http: {self.status(hwnd)!r}")
        self.assertFalse(os.path.exists(self.product_dir()))
        self.assertEqual([r for r in downloads.nginx_requests(self.nginx)
                          if r["path"] == self.path], [])
        self.driver.call("kill", pid)
        # https to https, and http to https, download.
        for host in (secure + "/redirect/https/" + downloads.SECURE_HOST,
                     "127.0.0.1/redirect/https/" + downloads.SECURE_HOST):
            listed = self.publish(NESTED[:1], host=host)
            pid, hwnd = self.open_program()
            self.wait_installer(hwnd)
            self.assert_product_arrived(listed)
            self.driver.call("kill", pid)
        self.assertEqual([r for r in downloads.nginx_requests(self.nginx)
                          if r["path"] == self.path], [])

    def test_a_signed_copy_signs_in_with_its_own_token_and_downloads(self):
        listed = self.publish(NESTED[:3], token="Signed42", product="4711")
        self.program = store.signed_copy(self.copy_program("unsigned"), "Signed42", "4711")
        pid, hwnd = self.open_program(fresh=False)
        self.wait_installer(hwnd)
        self.assert_product_arrived(listed)
        self.assertEqual([r["fields"] for r in store.requests(self.store_state)],
                         [[["cookie", "Signed42"], ["product", "4711"]]])

    def test_dlls_left_beside_the_program_never_load(self):
        # Windows' order for DLLs that are no KnownDLLs: the program's folder first.
        self.driver = harness.Driver({"WINEDLLOVERRIDES": "mscoree,mshtml=;wininet,comctl32=n,b"})
        self.addCleanup(self.driver.close)  # after tearDown has ended what it started
        listed = self.publish(NESTED[:1], host="HTTPS://" + downloads.SECURE_HOST)
        self.program = self.copy_program("program")
        folder = os.path.dirname(self.program)
        for dll in ("wininet.dll", "comctl32.dll"):
            shutil.copy(os.path.join(harness.PLANTED, dll), folder)
        try:
            pid, hwnd = self.open_program(fresh=False)
            self.wait_installer(hwnd)
        finally:
            self.assertEqual([f for f in os.listdir(folder) if f.endswith(".ran")], [])
        self.assert_product_arrived(listed)
        # Every DLL from the system, the common controls from the manifest's version 6.
        modules = [m.lower() for m in self.driver.call("process", pid)["modules"]]
        beside = harness.win_path(folder).lower() + "\\"
        self.assertEqual([m for m in modules if m.startswith(beside) and m.endswith(".dll")], [])
        self.assertIn("common-controls_6595b64144ccf1df_6.",
                      " ".join(m for m in modules if m.endswith("\\comctl32.dll")))
        self.driver.call("kill", pid)

        # A system DLL that cannot be loaded at all: a box that names it, not a crash.
        self.driver = harness.Driver({"WINEDLLOVERRIDES": "mscoree,mshtml,wininet="})
        self.addCleanup(self.driver.close)
        pid = self.start(self.program)
        box = self.wait_dialog(pid)
        self.assertRegex(box["text"], r"(?s)^Unexpected error: System file wininet\.dll could "
                                      r"not be loaded from the Windows system folder: "
                                      r".*\(Error 126\)$")
        self.press(box, "OK")
        self.assertEqual(self.wait_exit(pid), {"exited": True, "code": 0})

    def test_a_product_of_empty_files_needs_no_request(self):
        listed = self.publish([("e1.bin", 0), ("d/e2.bin", 0)])
        pid, hwnd = self.open_program()
        self.wait_installer(hwnd)
        self.assert_product_arrived(listed)
        self.assertEqual([r for r in downloads.nginx_requests(self.nginx)
                          if r["path"].startswith(self.path)], [])

    def test_shift_jis_names_download_in_code_page_932(self):
        # A Japanese buyer's copy reads the store's names in code page 932, where the
        # second byte of "表" and "ソ" is 0x5C ("\\") and of "ポ" 0x7C ("|"), and "ア" and
        # "ヂ" differ only in a byte that elsewhere is "A" or "a". Wine takes the code page
        # from the Unix locale, and names Unix files in its UTF-8.
        locales = tempfile.mkdtemp(prefix="qv-locales-")
        self.addCleanup(shutil.rmtree, locales, True)
        subprocess.run(["localedef", "-i", "ja_JP", "-f", "UTF-8",
                        os.path.join(locales, "ja_JP.UTF-8")],
                       check=True, timeout=120, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.driver = harness.Driver({"LOCPATH": locales, "LC_ALL": "ja_JP.UTF-8"})
        self.addCleanup(self.driver.close)  # after tearDown has ended what it started
        listed = self.publish([("表/ソ.txt", 70_000), ("ポイント.txt", 1_000), ("ア.txt", 10),
                               ("ヂ.txt", 20)])
        in_code_page = [(name.encode("cp932").decode("latin-1"), size) for name, size in listed]
        store.configure(self.store_state, tokens=[TOKEN], products={self.product: (
            downloads.product_fields(in_code_page, server="127.0.0.1" + self.path))})
        pid, hwnd = self.open_program()
        self.wait_installer(hwnd)
        self.assert_product_arrived(listed)

    def test_pause_and_unpause_at_full_speed(self):
        # A close in the middle of a fast body must not hold the window's thread while
        # the platform winds the connection down.
        listed = self.publish([("big.bin", 200_000_000)])
        pid, hwnd = self.open_program()
        self.wait_status(hwnd, "Downloading at")
        started = time.monotonic()
        self.click(hwnd, PAUSE_ID)
        self.wait_status(hwnd, "Paused. ", timeout=60)
        self.assertLess(time.monotonic() - started, 1.0)
        self.click(hwnd, PAUSE_ID)
        self.wait_installer(hwnd)
        self.assert_product_arrived(listed)
        # nginx logs the broken-off answer only once the platform has let its
        # connection go, which may come after the second one.
        gets = self.wait_for(lambda: [r["range"] for r in downloads.nginx_requests(self.nginx)
                                      if r["path"] == self.path][1:] and
                             sorted(r["range"] or "" for r in downloads.nginx_requests(self.nginx)
                                    if r["path"] == self.path), 60, "both requests logged")
        self.assertEqual(len(gets), 2)
        self.assertEqual(gets[0], "")
        self.assertRegex(gets[1], r"^bytes=[1-9]\d*-$")

    def test_resume_after_being_killed_again_and_again(self):
        listed = self.publish([("p1.bin", 1_500_000), ("p2/x.bin", 2_000_000), ("e.bin", 0),
                               ("p3.bin", 1_000_000), ("p4.bin", 1_500_000)], host="127.0.0.2")
        total = sum(size for _, size in listed)
        downloads.configure_faults(self.faults, throttle=2_000_000)
        rng = random.Random(os.environ.get("QV_E2E_SEED", "resume"))
        resumed_from = []
        for run in range(4):
            pid, hwnd = self.open_program(fresh=run == 0)
            if run == 3:
                break
            start = self.on_disk(listed)
            resumed_from.append(start)
            goal = start + rng.randint(200_000, (total - start) // 2)
            self.wait_for(lambda: self.on_disk(listed) >= goal, 30, f"{goal} bytes on disk")
            self.driver.call("kill", pid)
            self.wait_exit(pid)
        resumed_from.append(self.on_disk(listed))
        self.wait_installer(hwnd)
        self.assert_product_arrived(listed)
        # Each run asked for exactly the rest of what the run before left on disk.
        ranges = [r["range"] for r in downloads.fault_requests(self.faults)]
        self.assertEqual(ranges, [None] + [f"bytes={n}-" for n in resumed_from[1:]])

    def test_a_file_longer_than_listed_is_fetched_again_with_all_after_it(self):
        listed = self.publish([("a.bin", 100_000), ("b.bin", 200_000), ("c.bin", 50_000)])
        self.program = self.copy_program("program")
        os.makedirs(self.product_dir())
        for name, extra in (("a.bin", b""), ("b.bin", b"too long"), ("c.bin", b"")):
            with open(os.path.join(self.source, name), "rb") as f:
                data = f.read()
            with open(os.path.join(self.product_dir(), name), "wb") as f:
                f.write(data + extra)
        pid, hwnd = self.open_program(fresh=False)
        self.wait_installer(hwnd)
        self.assert_product_arrived(listed)
        gets = [r for r in downloads.nginx_requests(self.nginx) if r["path"] == self.path]
        self.assertEqual([(r["range"], r["status"]) for r in gets], [("bytes=100000-", 206)])

    def test_part_boundaries(self):
        # 2,000,000,005 bytes of one file and 20 of another: the stream has two parts,
        # the second at ".2". Holes keep the disk out of it.
        listed = self.publish([("big.bin", 2_000_000_005), ("tail.bin", 20)],
                              sparse_from=1_000_000)
        big = os.path.join(self.source, "big.bin")
        cases = [
            (1_999_999_990, [(self.path, "bytes=1999999990-", 206), (self.path + ".2", None, 200)]),
            (2_000_000_000, [(self.path + ".2", None, 200)]),
            (2_000_000_005, [(self.path + ".2", "bytes=5-", 206)]),
        ]
        for run, (resume_at, expected) in enumerate(cases):
            self.program = self.copy_program(f"program-{run}")
            os.makedirs(self.product_dir())
            _sparse_prefix(big, os.path.join(self.product_dir(), "big.bin"), resume_at)
            before = len(downloads.nginx_requests(self.nginx))
            pid, hwnd = self.open_program(fresh=False)
            self.wait_installer(hwnd)
            self.assert_product_arrived(listed)
            gets = [(r["path"], r["range"], r["status"])
                    for r in downloads.nginx_requests(self.nginx)[before:]
                    if r["path"].startswith(self.path)]
            self.assertEqual(gets, expected, f"resuming at {resume_at}")
            self.driver.call("kill", pid)
            shutil.rmtree(os.path.dirname(self.program))


def _sparse_prefix(source, target, length):
    """The first length bytes of a sparse source, as sparse as it is."""
    with open(source, "rb") as src, open(target, "wb") as dst:
        dst.truncate(length)
        position = 0
        while position < length:
            try:
                start = os.lseek(src.fileno(), position, os.SEEK_DATA)
            except OSError:
                break
            end = min(os.lseek(src.fileno(), start, os.SEEK_HOLE), length)
            if start >= length:
                break
            src.seek(start)
            dst.seek(start)
            dst.write(src.read(end - start))
            position = end


if __name__ == "__main__":
    harness.main()
