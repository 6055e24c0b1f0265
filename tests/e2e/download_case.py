"""The base of the download groups: the store's sign-in endpoint on port 443, nginx on
127.0.0.1:80 and over HTTPS as downloads.test (127.0.0.3:443), and the fault server on
127.0.0.2:80, all serving one web root inside the group's namespace, and the real program, copied per test so that its directory of
temporary files is the test's own."""

import os
import shutil
import tempfile

import downloads
import store
from harness import E2ETestCase
from test_sign_in import PRODUCT, TOKEN

TITLE = "Quarry Quest"
STOP_ID, PAUSE_ID = 100, 101
INSTALL_LINE = f"Launching {TITLE} installer..."


class DownloadTestCase(E2ETestCase):
    product = PRODUCT  # the product identifier of the copy under test

    @classmethod
    def start_servers(cls):
        cls.webroot = tempfile.mkdtemp(prefix="qv-webroot-")
        cls.sources = tempfile.mkdtemp(prefix="qv-sources-")
        cls.store_state = store.start_store(cls, http_port=0)
        cls.nginx = downloads.start_nginx(cls, cls.webroot)
        cls.secure_nginx = downloads.start_nginx(
            cls, cls.webroot, downloads.SECURE_ADDRESS, 443,
            tls=[os.path.join(store.CERTS, name) for name in ("server.pem", "server.key")])
        cls.faults = downloads.start_fault_server(cls, cls.webroot)

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        store.remove_state(cls.store_state)
        downloads.remove_state(cls.nginx, cls.secure_nginx, cls.faults, cls.webroot, cls.sources)

    # Products.

    def publish(self, files, host="127.0.0.1", sparse_from=None, title=TITLE, token=TOKEN,
                product=PRODUCT, hashed=False):
        """Makes and publishes a product under a path of this test's own and offers it
        to the token (the unstamped program's by default), with each file's SHA-256 if
        hashed; returns [(name, size), ...]."""
        source = os.path.join(self.sources, self._testMethodName)
        shutil.rmtree(source, ignore_errors=True)
        names = downloads.make_product(source, files, sparse_from=sparse_from)
        path = "/" + self._testMethodName
        listed, _ = downloads.publish_product(source, names, self.webroot, path)
        hashes = downloads.file_hashes(source, names) if hashed else None
        store.configure(self.store_state, tokens=[token], products={
            product: downloads.product_fields(listed, server=host + path, title=title,
                                              hashes=hashes)})
        self.source, self.path, self.product = source, path, product
        return listed

    def product_dir(self):
        return os.path.join(os.path.dirname(self.program), "Quarryvale temporary files",
                            self.product)

    def on_disk(self, listed):
        """The bytes of the listed files on disk so far."""
        total = 0
        for name, _ in listed:
            path = os.path.join(self.product_dir(), *name.split("/"))
            if os.path.exists(path):
                total += os.path.getsize(path)
        return total

    def assert_product_arrived(self, listed):
        """Every file byte for byte; holes of sparse sources compared as data."""
        for name, size in listed:
            got = os.path.join(self.product_dir(), *name.split("/"))
            want = os.path.join(self.source, *name.split("/"))
            self.assertEqual(os.path.getsize(got), size, name)
            with open(got, "rb") as a, open(want, "rb") as b:
                for offset in _data_offsets(want, size):
                    a.seek(offset)
                    b.seek(offset)
                    self.assertEqual(a.read(1 << 20), b.read(1 << 20), f"{name} at {offset}")

    # The program.

    def open_program(self, fresh=True):
        if fresh:
            self.program = self.copy_program("program")
        pid = self.start(self.program)
        return pid, self.wait_window(pid)["hwnd"]

    def screen(self, hwnd):
        """The download screen's controls: title, status, bar, stop, pause; {} when gone."""
        controls = self.controls(hwnd)
        statics = [c for c in controls if c["class"] == "Static"]
        by_id = {c["id"]: c for c in controls}
        if STOP_ID not in by_id or PAUSE_ID not in by_id or len(statics) != 2:
            return {}
        bars = [c for c in controls if c["class"] == "msctls_progress32"]
        return {"title": statics[0], "status": statics[1], "bar": bars[0] if bars else None,
                "stop": by_id[STOP_ID], "pause": by_id[PAUSE_ID]}

    def status(self, hwnd):
        s = self.screen(hwnd)
        return s["status"]["text"] if s else None

    def wait_status(self, hwnd, prefix, timeout=30):
        return self.wait_for(lambda: (self.status(hwnd) or "").startswith(prefix), timeout,
                             f"the status {prefix!r} (now {self.status(hwnd)!r})")

    def wait_installer(self, hwnd, timeout=60):
        self.wait_for(lambda: any(c["text"] == INSTALL_LINE for c in self.controls(hwnd)),
                      timeout, "the install screen")

    def click(self, hwnd, control_id):
        self.driver.call("command", hwnd, control_id, 0)


def _data_offsets(path, size):
    """Offsets of the 1 MiB blocks of path that hold data (all of them if the file system
    cannot tell)."""
    offsets = set()
    with open(path, "rb") as f:
        fd = f.fileno()
        position = 0
        try:
            while position < size:
                start = os.lseek(fd, position, os.SEEK_DATA)
                end = os.lseek(fd, start, os.SEEK_HOLE)
                offsets.update(range(start - start % (1 << 20), end, 1 << 20))
                position = end
        except OSError:
            pass
    return sorted(offsets)
