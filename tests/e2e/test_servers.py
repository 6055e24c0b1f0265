"""The download servers themselves, without the program: publishing into stream parts,
nginx's answers to ranges, each fault of the fault server and the chaos proxy's plan,
seen from Python."""

import hashlib
import http.client
import os
import socket
import tempfile
import time

import chaos
import downloads
import harness
from downloads import PART_SIZE, wait_for
from harness import E2ETestCase

SMALL = [("setup.exe", 70_000), ("empty.bin", 0), ("a/b/c.bin", 1_500_000),
         ("notes.txt", b"Quarry\n")]
# 4,000,000,010 bytes: part 0 ends in a hole of one.bin, part .2 starts in it and holds
# one.bin's last 4096 bytes of data, part .3 holds end.bin's last 10 bytes.
HUGE = [("one.bin", PART_SIZE + 10_000), ("two.bin", PART_SIZE - 10_010), ("end.bin", 20)]


def slow_get(host, path):
    """Every byte a slow client receives for a GET, and whether it ended in a reset: it
    reads 16 KB every 10 ms through a small receive buffer, slower than the proxy's
    cap, so that what the proxy writes backs up behind it."""
    with socket.socket() as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
        sock.settimeout(10)
        sock.connect((host, 80))
        sock.sendall(f"GET {path} HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n"
                     .encode())
        received = bytearray()
        try:
            while chunk := sock.recv(16384):
                received += chunk
                time.sleep(0.01)
        except ConnectionResetError:
            return bytes(received), True
        return bytes(received), False


def get(host, path, byte_range=None, partial=None):
    """status, headers, body and whether it ended in a reset; with partial (count,
    callback) it reads count bytes first and calls back before reading the rest."""
    connection = http.client.HTTPConnection(host, timeout=10)
    try:
        connection.request("GET", path, headers={"Range": byte_range} if byte_range else {})
        response = connection.getresponse()
        body = bytearray(response.read(partial[0]) if partial else b"")
        if partial:
            partial[1]()
        try:
            while chunk := response.read1(1 << 16):
                body += chunk
        except ConnectionResetError:
            return response.status, response.headers, bytes(body), True
        return response.status, response.headers, bytes(body), False
    finally:
        connection.close()


class ServersTest(E2ETestCase):
    root = nginx = faults = None

    @classmethod
    def setUpClass(cls):  # no program runs here, so no driver either
        cls.servers = []
        cls.root = tempfile.mkdtemp(prefix="qv-servers-")
        cls.web = os.path.join(cls.root, "www")
        try:
            cls.small = cls.publish("small", SMALL)
            cls.huge = cls.publish("quest", HUGE, sparse_from=PART_SIZE // 2)
            cls.nginx = downloads.start_nginx(cls, cls.web)
            cls.faults = downloads.start_fault_server(cls, cls.web)
            cls.proxy = chaos.start_proxy(cls, os.path.join(cls.root, "proxy"), 18,
                                          fault_every=400_000, rate=(3e6, 6e6),
                                          status_rate=0.2, reset_rate=0.4,
                                          long_stall_rate=0.15, long_stall=0.3,
                                          stall_rate=0.4, stall=(0.2, 0.4), flip_rate=0.5)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        downloads.remove_state(cls.root, cls.nginx, cls.faults)

    @classmethod
    def publish(cls, name, files, sparse_from=None):
        source = os.path.join(cls.root, name)
        names = downloads.make_product(source, files, sparse_from)
        published, total = downloads.publish_product(source, names, cls.web, "/products/" + name)
        return source, published, total

    @staticmethod
    def stream(product, start, end):
        """Bytes [start, end) of a product's stream, read from its source files."""
        source, files, _ = product
        data, offset = b"", 0
        for name, size in files:
            if start < offset + size and offset < end:
                with open(os.path.join(source, name), "rb") as f:
                    f.seek(max(0, start - offset))
                    data += f.read(min(end, offset + size) - max(start, offset))
            offset += size
        return data

    def test_small_product_reassembles_from_its_parts(self):
        source, files, total = self.small
        self.assertEqual([size for _, size in files], [70_000, 0, 1_500_000, 7])
        status, headers, stream, _ = get("127.0.0.1", "/products/small")
        self.assertEqual((status, len(stream), total), (200, total, 1_570_007))
        self.assertEqual(get("127.0.0.1", "/products/small.2")[0], 404)
        offset = 0
        for name, size in files:
            with open(os.path.join(source, *name.split("/")), "rb") as f:
                self.assertEqual(stream[offset:offset + size], f.read(), name)
            offset += size
        self.assertNotEqual(stream[:64], stream[70_000:70_064])  # no two files alike
        self.assertNotEqual(stream[70_000:70_064], stream[70_000 + 2**20:][:64])  # nor blocks

    def test_sparse_product_and_nginx_ranges(self):
        self.assertEqual(self.huge[2], 4_000_000_010)
        parts = [downloads.part_file(self.web, "/products/quest", k) for k in range(4)]
        self.assertEqual([os.path.getsize(p) for p in parts[:3]], [PART_SIZE, PART_SIZE, 10])
        self.assertFalse(os.path.exists(parts[3]))
        self.assertLess(sum(os.stat(p).st_blocks * 512 for p in parts[:3]), 1 << 20)
        p = PART_SIZE
        for path, byte_range, status, start, end in [
                ("/products/quest", "bytes=1999999990-", 206, p - 10, p),
                ("/products/quest.2", "bytes=5000-10099", 206, p + 5000, p + 10_100),
                ("/products/quest.2", "bytes=1999999980-", 206, 2 * p - 20, 2 * p),
                ("/products/quest.3", None, 200, 2 * p, 2 * p + 10)]:
            answer = get("127.0.0.1", path, byte_range)
            self.assertEqual(answer[0], status, byte_range)
            self.assertEqual(answer[2], self.stream(self.huge, start, end), byte_range)
        status, headers, _, _ = get("127.0.0.1", "/products/quest", "bytes=2000000000-")
        self.assertEqual((status, headers["Content-Range"]), (416, "bytes */2000000000"))
        self.assertTrue(wait_for(lambda: any(r["status"] == 416 for r in
                                             downloads.nginx_requests(self.nginx))))
        log = [(r["path"], r["range"], r["status"], r["bytes"])
               for r in downloads.nginx_requests(self.nginx) if "quest" in r["path"]]
        self.assertIn(("/products/quest", "bytes=1999999990-", 206, 10), log)
        self.assertEqual(log[-1][1:3], ("bytes=2000000000-", 416))

    def test_each_fault(self):
        state, size, path = self.faults, self.small[2], "/products/small"
        whole = self.stream(self.small, 0, size)

        def check(faults, byte_range, status, body, partial=None):
            downloads.configure_faults(state, **faults)
            answer = get("127.0.0.2", path, byte_range, partial)
            self.assertEqual((answer[0], answer[2]), (status, body), faults)
            self.assertTrue(wait_for(lambda: downloads.fault_requests(state)[-1]["sent"]
                                     is not None))
            last = downloads.fault_requests(state)[-1]
            self.assertEqual((last["range"], last["status"], last["sent"]),
                             (byte_range, status, len(body)))
            return answer

        check({}, "bytes=1000-", 206, whole[1000:])
        check({}, "bytes=1570007-", 416, b"")
        check({"status": 500, "body": "down"}, "bytes=5-", 500, b"down")
        check({"status": 404}, None, 404, b"fault")
        check({"ignore_range": True}, "bytes=1000-", 200, whole)
        answer = check({"short_body": 300}, "bytes=1000-", 206, whole[1000:1300])
        self.assertEqual(answer[1]["Content-Range"], f"bytes 1000-1299/{size}")
        for reset in (False, True):
            answer = check({"drop_after": 5000, "reset": reset}, None, 200, whole[:5000])
            self.assertEqual((answer[1]["Content-Length"], answer[3]), (str(size), reset))
        release = (1000, lambda: (self.assertTrue(downloads.wait_stalled(state, 5)),
                                  downloads.release(state)))
        check({"stall_after": 1000}, "bytes=10-", 206, whole[10:1010], release)
        check({"stall_after": 1000, "stall_then": "continue"}, "bytes=10-", 206, whole[10:],
              release)
        started = time.monotonic()
        check({"throttle": 500_000}, f"bytes={size - 100_000}-", 206, whole[-100_000:])
        self.assertGreaterEqual(time.monotonic() - started, 0.2)
        downloads.configure_faults(state, status=503, times=2)
        self.assertEqual([get("127.0.0.2", path)[0] for _ in range(3)], [503, 503, 200])
        self.assertEqual([r["faulty"] for r in downloads.fault_requests(state)],
                         [True, True, False])
        downloads.configure_faults(state, status=503, path=path + ".2")
        self.assertEqual(get("127.0.0.2", path)[0], 200)

    def test_chaos_proxy_passes_every_byte_under_every_fault(self):
        # Seed 18 plays a reset, a short and a long stall, a 500, a 503 and a flipped byte
        # within eight connections, with latency and a cap. What each client received must
        # be what the proxy's lines say, byte for byte: the server's stream up to the
        # fault's offset, with the one byte flipped where the proxy says, never a byte lost,
        # doubled or cut short by a reset, however slowly it reads.
        whole = self.stream(self.small, 0, self.small[2])
        seen = []
        for _ in range(8):
            started = time.monotonic()
            seen.append(slow_get(chaos.PROXY_ADDRESS, "/products/small") +
                        (time.monotonic() - started,))
        self.assertTrue(wait_for(lambda: len(chaos.connections(self.proxy)) == 8))
        played = {}
        for fault in chaos.faults(self.proxy):
            played.setdefault(fault["connection"], {})[fault["kind"]] = fault
        lines = {c["connection"]: c for c in chaos.connections(self.proxy)}
        kinds = set()
        for number, (received, reset, took) in enumerate(seen, 1):
            plan, line = played.get(number, {}), lines[number]
            kinds |= plan.keys()
            self.assertEqual((line["down"], line["down_sha256"], line["unsent"]),
                             (len(received), hashlib.sha256(received).hexdigest(), 0), number)
            if "stall" in plan:
                self.assertGreaterEqual(took, plan["stall"]["seconds"])
            cut = plan.get("reset") or plan.get("long_stall")
            self.assertEqual(reset, cut is not None, number)
            if "flip" in plan:
                at = plan["flip"]["offset"]
                self.assertLess(at, len(received), number)
                received = received[:at] + bytes([received[at] ^ 0xFF]) + received[at + 1:]
            head, _, body = received.partition(b"\r\n\r\n")
            if "status" in plan:
                self.assertTrue(head.startswith(b"HTTP/1.1 %d" % plan["status"]["status"]))
                continue
            self.assertEqual(body, whole[:len(body)], number)
            if cut:
                self.assertEqual(len(received), cut["offset"], number)
            else:
                self.assertEqual(body, whole, number)
                if "flip" not in plan:
                    self.assertEqual(line["from_upstream_sha256"], line["down_sha256"], number)
        self.assertTrue({"latency", "cap", "reset", "stall", "long_stall", "status", "flip"} <=
                        kinds, kinds)
        self.assertEqual({f["status"] for n in played.values() for k, f in n.items()
                          if k == "status"}, {500, 503})


if __name__ == "__main__":
    harness.main()
