#!/usr/bin/env python3
"""A TCP proxy in front of the download server that plays a hostile network, for the
chaos test and the soak (bench/soak.sh). It forwards bytes, so plain HTTP and TLS alike.

Each connection follows a plan drawn from random.Random("SEED/N") for the N-th accepted
connection, so a run can be replayed with --seed (the seed is printed, and written into
STATE/ready):
  latency     a delay before the first byte towards the client (--latency-ms MIN MAX)
  cap         a token-bucket cap on the bytes towards the client (--rate MIN MAX, B/s)
  status      instead of forwarding, a 500 or 503 (--status-rate): on plain HTTP the
              proxy's own answer; inside TLS, which the proxy cannot speak, the
              connection goes to a server that answers that status over TLS
              (--status-upstream STATUS HOST:PORT), or, without one, is forwarded as is
  reset       a reset (SO_LINGER 0, then close) at a byte offset (--reset-rate)
  long_stall  silence from a byte offset on, the socket kept open for --long-stall
              seconds (or until the client leaves), then a reset (--long-stall-rate)
  stall       silence for --stall MIN MAX seconds at a byte offset, then on as before
              (--stall-rate; it comes on top of the others)
  flip        one byte of the answer inverted at a byte offset past its headers, on
              plain HTTP only (--flip-rate; on top of the others; drawn after them, so
              a seed's other faults stay what they were)
Offsets are bytes sent to the client on that connection (headers included), drawn
uniformly up to twice --fault-every. At most one of status, reset and long_stall per
connection.

Every fault played is one JSON line in STATE/faults.jsonl: time (seconds since the
epoch), connection, kind, offset, and its measure (ms, bytes_per_s, status, seconds).
Every connection, once closed, is one line in STATE/connections.jsonl: connection,
start, end, peer and upstream_port (the client's port and the proxy's towards the
server, to find both in a packet capture), tls, up (bytes from the client), down (bytes
to the client), ended ("reset", "status", "client", "upstream"), left_in_stall (the
client closed during a stall), and what shows that the server's stream passed intact:
from_upstream and from_upstream_sha256 (every byte the server sent), down_sha256 (the
bytes to the client: the same hash when the whole stream went through), unsent (bytes
a reset threw away before the system took them: 0 unless the client read nothing for
2 s) and, on TLS, records: the record layout of the bytes to the client (whole records,
where an unfinished last one began, the offset of a header that is not a record's).
SIGTERM ends it at once.
"""
import argparse
import asyncio
import fcntl
import hashlib
import json
import os
import random
import socket
import struct
import termios
import time

CHUNK = 64 * 1024
BURST = 64 * 1024
# Small buffers towards the server, so that what a reset throws away is what a real
# path holds in flight, not megabytes of loopback buffering.
UPSTREAM_BUFFER = 128 * 1024
ANSWERS = {500: "Internal Server Error", 503: "Service Unavailable"}
# No answer's headers from nginx are longer: a flip from here on lands in the body.
HEADERS_AT_MOST = 4096
# TLS 1.2 records: type 20-23, version 3.x, at most 2^14 + 2048 bytes of ciphertext.
RECORD_HEADER, RECORD_MOST = 5, 16384 + 2048


class Settings:
    def __init__(self, args):
        self.__dict__.update(vars(args))


def make_plan(settings, number):
    """The plan of connection number: the same for the same seed and number."""
    rng = random.Random(f"{settings.seed}/{number}")
    s = settings
    plan = {"latency": rng.uniform(*s.latency_ms) / 1000,
            "rate": rng.uniform(*s.rate) if s.rate[1] > 0 else None,
            "status": None, "events": []}

    def offset():
        return int(rng.uniform(0, 2 * s.fault_every))

    roll = rng.random()
    if roll < s.status_rate:
        plan["status"] = rng.choice(sorted(ANSWERS))
    elif roll < s.status_rate + s.reset_rate:
        plan["events"].append((offset(), "reset", None))
    elif roll < s.status_rate + s.reset_rate + s.long_stall_rate:
        plan["events"].append((offset(), "long_stall", s.long_stall))
    if rng.random() < s.stall_rate:
        plan["events"].append((offset(), "stall", round(rng.uniform(*s.stall), 1)))
    if s.flip_rate > 0 and rng.random() < s.flip_rate:
        plan["events"].append((max(HEADERS_AT_MOST, offset()), "flip", None))
    plan["events"].sort(key=lambda event: event[0])
    return plan


class Log:
    def __init__(self, state):
        self.faults = open(os.path.join(state, "faults.jsonl"), "a", encoding="utf-8")
        self.connections = open(os.path.join(state, "connections.jsonl"), "a",
                                encoding="utf-8")

    def fault(self, number, kind, offset, **measure):
        line = {"time": time.time(), "connection": number, "kind": kind, "offset": offset}
        line.update(measure)
        self.faults.write(json.dumps(line) + "\n")
        self.faults.flush()

    def connection(self, entry):
        self.connections.write(json.dumps(entry) + "\n")
        self.connections.flush()


class TokenBucket:
    def __init__(self, rate):
        self.rate, self.tokens, self.last = rate, BURST, time.monotonic()

    async def take(self, count):
        if self.rate is None:
            return
        while True:
            now = time.monotonic()
            self.tokens = min(BURST, self.tokens + (now - self.last) * self.rate)
            self.last = now
            if self.tokens >= count:
                self.tokens -= count
                return
            await asyncio.sleep((count - self.tokens) / self.rate)


async def reset(writer):
    """A reset, once the client could read what was sent (bounded): the offset logged
    is then the offset it saw. Returns the bytes the reset threw away unsent (0 unless
    the client read nothing for 2 s)."""
    deadline = time.monotonic() + 2
    transport = writer.transport
    sock = writer.get_extra_info("socket")
    while time.monotonic() < deadline:
        # First what the event loop still holds, then what the system holds.
        queued = transport.get_write_buffer_size()
        if not queued and sock is not None:
            try:
                queued = struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ,
                                                        b"\0" * 4))[0]
            except OSError:
                break
        if not queued:
            break
        await asyncio.sleep(0.005)
    unsent = transport.get_write_buffer_size()
    if sock is not None:
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
    transport.abort()
    return unsent


class RecordCheck:
    """Follows the TLS record layout of a byte stream: a proxy that lost, doubled or
    reordered bytes shows as a header that is not one."""

    def __init__(self):
        self.whole, self.left, self.header, self.bad_at = 0, 0, b"", None
        self.offset = self.start = 0  # bytes seen; where the current record began

    def feed(self, data):
        position = 0
        while position < len(data) and self.bad_at is None:
            if self.left:
                step = min(self.left, len(data) - position)
                self.left -= step
                position += step
            else:
                step = min(RECORD_HEADER - len(self.header), len(data) - position)
                self.header += data[position:position + step]
                position += step
                if len(self.header) < RECORD_HEADER:
                    continue
                kind, major = self.header[0], self.header[1]
                self.left = int.from_bytes(self.header[3:5], "big")
                self.header = b""
                if not 20 <= kind <= 23 or major != 3 or self.left > RECORD_MOST:
                    self.bad_at = self.start
            if not self.left and not self.header and self.bad_at is None:
                self.whole += 1
                self.start = self.offset + position
        self.offset += len(data)

    def summary(self):
        """Whole records, where the unfinished last one began (None: the stream ended
        on a boundary), the offset of the first header that is not a record's."""
        ended_inside = self.left or self.header
        return {"whole": self.whole, "last_start": self.start if ended_inside else None,
                "bad_at": self.bad_at}


class Connection:
    def __init__(self, proxy, number, reader, writer):
        self.proxy, self.number = proxy, number
        self.reader, self.writer = reader, writer
        self.plan = make_plan(proxy.settings, number)
        peer = writer.get_extra_info("peername")
        self.entry = {"connection": number, "start": time.time(),
                      "peer": peer[1] if peer else None, "tls": False, "up": 0, "down": 0,
                      "ended": "client", "left_in_stall": False, "from_upstream": 0,
                      "unsent": 0}
        self.from_upstream, self.to_client = hashlib.sha256(), hashlib.sha256()
        self.records = RecordCheck()
        self.client_gone = asyncio.Event()
        self.stalling = False

    def fault(self, kind, **measure):
        self.proxy.log.fault(self.number, kind, self.entry["down"], **measure)

    async def run(self):
        upstream = None
        try:
            first = await self.reader.read(CHUNK)
            if not first:
                return
            self.entry["tls"] = first[0] == 0x16  # a TLS handshake record
            self.entry["up"] += len(first)
            host, port = self.proxy.settings.upstream
            status = self.plan["status"]
            if status and not self.entry["tls"]:
                await self.answer_status(first)
                return
            if status and status in self.proxy.settings.status_upstream:
                host, port = self.proxy.settings.status_upstream[status]
                self.fault("status", status=status)
                self.entry["ended"] = "status"
                self.plan["events"] = []
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, UPSTREAM_BUFFER)
            sock.setblocking(False)
            await asyncio.get_running_loop().sock_connect(sock, (host, port))
            up_reader, upstream = await asyncio.open_connection(sock=sock)
            self.entry["upstream_port"] = sock.getsockname()[1]
            upstream.write(first)
            # Whichever way ends first ends the connection: the server's end or a
            # fault, or the client leaving (a kill, a pause).
            pumps = {asyncio.ensure_future(self.pump_up(upstream)),
                     asyncio.ensure_future(self.pump_down(up_reader))}
            try:
                await asyncio.wait(pumps, return_when=asyncio.FIRST_COMPLETED)
            finally:
                for pump in pumps:
                    pump.cancel()
                await asyncio.gather(*pumps, return_exceptions=True)
        except (OSError, asyncio.IncompleteReadError):
            pass
        finally:
            if upstream is not None:
                upstream.transport.abort()
            if not self.writer.transport.is_closing():
                self.writer.close()
            self.entry["end"] = time.time()
            self.entry["from_upstream_sha256"] = self.from_upstream.hexdigest()
            self.entry["down_sha256"] = self.to_client.hexdigest()
            if self.entry["tls"]:
                self.entry["records"] = self.records.summary()
            self.proxy.log.connection(self.entry)

    async def answer_status(self, first):
        head = first
        while b"\r\n\r\n" not in head and len(head) < 65536:
            more = await asyncio.wait_for(self.reader.read(CHUNK), 30)
            if not more:
                return
            head += more
            self.entry["up"] += len(more)
        await asyncio.sleep(self.plan["latency"])
        status = self.plan["status"]
        self.fault("status", status=status)
        body = f"{status} {ANSWERS[status]}\n".encode()
        answer = (f"HTTP/1.1 {status} {ANSWERS[status]}\r\nContent-Type: text/plain\r\n"
                  f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode() + body
        self.writer.write(answer)
        self.to_client.update(answer)
        await self.writer.drain()
        self.entry["down"] += len(answer)
        self.entry["ended"] = "status"

    async def pump_up(self, upstream):
        try:
            while data := await self.reader.read(CHUNK):
                self.entry["up"] += len(data)
                upstream.write(data)
                await upstream.drain()
        except OSError:
            pass
        self.client_gone.set()
        if self.stalling:
            self.entry["left_in_stall"] = True

    async def pump_down(self, up_reader):
        try:
            await self.forward(up_reader)
        except OSError:
            pass

    async def forward(self, up_reader):
        events = list(self.plan["events"])
        bucket = TokenBucket(self.plan["rate"])
        started = False
        while data := await up_reader.read(CHUNK):
            self.entry["from_upstream"] += len(data)
            self.from_upstream.update(data)
            if not started:
                started = True
                await asyncio.sleep(self.plan["latency"])
                self.fault("latency", ms=round(self.plan["latency"] * 1000))
                if self.plan["rate"] is not None:
                    self.fault("cap", bytes_per_s=round(self.plan["rate"]))
            position = 0
            while position < len(data):
                flip = False
                while events and events[0][0] <= self.entry["down"]:
                    _, kind, seconds = events.pop(0)
                    if kind == "flip":
                        # Inside TLS a flipped byte would only break the record.
                        flip = not self.entry["tls"]
                        if flip:
                            self.fault("flip")
                    elif not await self.play(kind, seconds):
                        return
                piece = len(data) - position
                if events:
                    piece = min(piece, events[0][0] - self.entry["down"])
                await bucket.take(piece)
                out = data[position:position + piece]
                if flip:
                    out = bytes([out[0] ^ 0xFF]) + out[1:]
                # Counted as it is handed over, with its hash: a client that leaves
                # during the drain must not leave them out of step.
                self.writer.write(out)
                self.entry["down"] += piece
                self.to_client.update(out)
                if self.entry["tls"]:
                    self.records.feed(out)
                position += piece
                await self.writer.drain()
        if self.entry["ended"] != "status":
            self.entry["ended"] = "upstream"

    async def play(self, kind, seconds):
        """Plays one fault; whether the connection goes on."""
        if kind == "reset":
            self.fault("reset")
        else:
            self.fault(kind, seconds=seconds)
            self.stalling = True
            try:
                await asyncio.wait_for(self.client_gone.wait(), seconds)
            except asyncio.TimeoutError:
                pass
            self.stalling = False
            if self.client_gone.is_set():
                return False
            if kind == "stall":
                return True
        self.entry["unsent"] = await reset(self.writer)
        self.entry["ended"] = "reset"
        return False


class Proxy:
    def __init__(self, settings, log):
        self.settings, self.log = settings, log
        self.count = 0

    async def accept(self, reader, writer):
        self.count += 1
        await Connection(self, self.count, reader, writer).run()


def address(text):
    host, _, port = text.rpartition(":")
    return host, int(port)


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--state", required=True, help="directory of the logs and ready")
    parser.add_argument("--address", default="127.0.0.5")
    parser.add_argument("--port", type=int, default=80)
    parser.add_argument("--upstream", type=address, default=("127.0.0.1", 80))
    parser.add_argument("--status-upstream", nargs=2, action="append", default=[],
                        metavar=("STATUS", "HOST:PORT"),
                        help="where a TLS connection goes for a 500 or 503")
    parser.add_argument("--seed", default=None, help="default: a new one, printed")
    parser.add_argument("--latency-ms", type=float, nargs=2, default=(20, 300))
    parser.add_argument("--rate", type=float, nargs=2, default=(0, 0),
                        help="cap in bytes/s, drawn per connection; 0 0: none")
    parser.add_argument("--fault-every", type=float, default=20e6,
                        help="mean byte offset of a fault")
    parser.add_argument("--status-rate", type=float, default=0.1)
    parser.add_argument("--reset-rate", type=float, default=0.5)
    parser.add_argument("--long-stall-rate", type=float, default=0.0)
    parser.add_argument("--long-stall", type=float, default=75)
    parser.add_argument("--stall-rate", type=float, default=0.2)
    parser.add_argument("--stall", type=float, nargs=2, default=(1, 10))
    parser.add_argument("--flip-rate", type=float, default=0.0,
                        help="share of plain HTTP connections with one byte inverted")
    args = parser.parse_args()
    args.status_upstream = {int(status): address(where)
                            for status, where in args.status_upstream}
    if args.seed is None:
        args.seed = str(random.SystemRandom().randrange(10**9))
    return Settings(args)


async def serve(settings):
    log = Log(settings.state)
    proxy = Proxy(settings, log)
    server = await asyncio.start_server(proxy.accept, settings.address, settings.port,
                                        reuse_address=True)
    print(f"chaos proxy: {settings.address}:{settings.port} -> "
          f"{settings.upstream[0]}:{settings.upstream[1]}, seed {settings.seed}", flush=True)
    with open(os.path.join(settings.state, "ready"), "w", encoding="utf-8") as f:
        json.dump({"seed": settings.seed}, f)
    async with server:
        await server.serve_forever()


def main():
    settings = parse_args()
    os.makedirs(settings.state, exist_ok=True)
    try:
        os.remove(os.path.join(settings.state, "ready"))
    except FileNotFoundError:
        pass
    asyncio.run(serve(settings))


if __name__ == "__main__":
    main()
