"""A hostile network in short: the program downloads through the chaos proxy with a
fixed seed that plays latency, a throughput cap, resets, short stalls, a 500 and a 503,
and is killed twice on the way. Every byte must arrive and every restart must ask for
exactly what is on disk. The long soak is bench/soak.sh."""

import collections
import random
import tempfile
import time

import chaos
import downloads
import harness
from download_case import DownloadTestCase
from harness import waiting_for_program

SEED = 18
FILES = [("setup.bin", 300_000), ("data/a.pak", 4_000_000), ("data/b.pak", 3_500_000),
         ("c.bin", 2_200_000)]
PROXY = dict(latency_ms=(20, 200), rate=(2e6, 5e6), fault_every=1.5e6, status_rate=0.2,
             reset_rate=0.3, stall_rate=0.3, stall=(1, 2.5))
# Longest wait for a byte: a stall, the 5 s reconnect, a restart, with room for a slow
# machine.
STANDSTILL_LIMIT = 20


@waiting_for_program
class ChaosTests(DownloadTestCase):
    @classmethod
    def start_servers(cls):
        super().start_servers()
        cls.proxy = chaos.start_proxy(cls, tempfile.mkdtemp(prefix="qv-chaos-"), SEED, **PROXY)

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        downloads.remove_state(getattr(cls, "proxy", None))

    def test_every_fault_and_two_kills(self):
        started = time.monotonic()
        listed = self.publish(FILES, host=chaos.PROXY_ADDRESS)
        total = sum(size for _, size in listed)
        rng = random.Random(SEED)
        kills = [int(total * rng.uniform(0.2, 0.4)), int(total * rng.uniform(0.55, 0.75))]

        def should_kill(_, disk):
            if kills and disk >= kills[0]:
                return kills.pop(0)
            return None

        self.program = self.copy_program("program")
        drive = chaos.Drive(self, listed, should_kill, STANDSTILL_LIMIT)
        drive.run()
        self.assert_product_arrived(listed)
        played = collections.Counter(f["kind"] for f in chaos.faults(self.proxy))
        statuses = {f["status"] for f in chaos.faults(self.proxy) if f["kind"] == "status"}
        self.assertTrue({"latency", "cap", "reset", "stall", "status"} <= played.keys(), played)
        self.assertEqual(statuses, {500, 503})
        self.assertEqual(len(drive.restarts), 2)
        chaos.check_restarts(drive.restarts, downloads.nginx_requests(self.nginx), self.path,
                             total)
        self.assertEqual([r["exact"] for r in drive.restarts], [True, True], drive.restarts)
        self.assertLess(time.monotonic() - started, 60)


if __name__ == "__main__":
    harness.main()
