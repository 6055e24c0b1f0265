#!/usr/bin/env python3
"""A download server that misbehaves on request, for what nginx cannot play. It serves
the same web root of stream parts as nginx does, with the same Range handling (200; 206
and Content-Range for "bytes=N-" or "bytes=N-M"; 416 when N is past the end), over
HTTP/1.1 on 127.0.0.2:80 by default, or over HTTPS with --tls CERTIFICATE KEY.

STATE/config.json is read afresh for every request (write a temporary file and rename
it). Every key is optional; faults combine:
  status        answer this status with a short text body instead of the file
  body          that body (default "fault")
  ignore_range  answer 200 with the whole part even to a ranged request
  range_shift   answer a ranged request from this many bytes further on (its
                Content-Range says where it starts)
  short_body    announce and send only this many body bytes (an honest but short
                answer: Content-Length and Content-Range say so), then end normally
  drop_after    send this many body bytes of an honestly announced body, then close
  reset         close with a reset instead of an orderly end (drop_after, stalls)
  stall_after   stop sending after this many body bytes, create STATE/stalled, and
                wait stall_seconds (default 60) or until STATE/release exists ...
  stall_then    ... then "close" (default) or "continue" with the rest of the body
  stall_before_headers  the same stall before anything of the answer is sent
  throttle      send the body at this many bytes per second
  write_size    send the body in writes of at most this many bytes (default 65536;
                over HTTPS each write goes out as records of its own)
  flip_at       invert the byte at this offset of the part file as it is sent (a store's
                file corrupted on its way)
  times         apply the faults to the first K requests after the configuration
                changed only; later ones are served normally
  path          apply the faults only to requests for this path

Every request is appended to STATE/requests.jsonl before it is answered:
{"id", "method", "path", "headers": [[name, value], ...], "range" (or null),
"status" (the status it answers), "faulty" (whether the faults applied)}; once the
answer has ended, {"id", "sent"} (body bytes written) follows. STATE/ready appears once
the port listens. SIGTERM ends it at once.
"""
import argparse
import fcntl
import http.server
import json
import os
import re
import socket
import ssl
import struct
import termios
import threading
import time
import urllib.parse

STATE = "."
WEBROOT = "."
LOCK = threading.Lock()
counter = {"config": None, "faulted": 0, "requests": 0}
CHUNK = 1 << 16


def state_file(name):
    return os.path.join(STATE, name)


def load_config():
    """The configuration and the identity of its file, which a rewrite changes."""
    try:
        with open(state_file("config.json"), encoding="utf-8") as f:
            identity = os.fstat(f.fileno())
            return json.load(f), (identity.st_ino, identity.st_mtime_ns)
    except FileNotFoundError:
        return {}, None


def record(entry):
    with LOCK, open(state_file("requests.jsonl"), "a", encoding="utf-8") as f:
        f.write(json.dumps(entry) + "\n")


def local_file(path):
    parts = urllib.parse.unquote(urllib.parse.urlsplit(path).path).split("/")
    if any(p in (".", "..") for p in parts):
        return None
    name = os.path.join(WEBROOT, *[p for p in parts if p])
    return name if os.path.isfile(name) else None


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "QuarryvaleFaults/1"

    def log_message(self, *args):
        pass

    def do_HEAD(self):
        self.answer(head=True)

    def do_GET(self):
        self.answer(head=False)

    def answer(self, head):
        config, identity = load_config()
        with LOCK:
            if identity != counter["config"]:
                counter.update(config=identity, faulted=0)
            counter["requests"] += 1
            number = counter["requests"]
            faulty = (config.get("path") in (None, self.path)
                      and counter["faulted"] < config.get("times", float("inf")))
            if faulty:
                counter["faulted"] += 1
        faults = config if faulty else {}
        status, headers, body = self.plan(faults)
        record({"id": number, "method": self.command, "path": self.path,
                "headers": [[k, v] for k, v in self.headers.items()],
                "range": self.headers.get("Range"), "status": status, "faulty": faulty,
                "at": time.monotonic()})
        self.sent = 0
        try:
            if faults.get("stall_before_headers") and not self.stall(faults):
                self.close_connection = True
                return
            self.send_response(status)
            for name, value in headers:
                self.send_header(name, value)
            self.end_headers()
            if not head:
                self.send_body(body, faults)
        except OSError:
            self.close_connection = True
        finally:
            record({"id": number, "sent": self.sent, "ended": time.monotonic()})
            if isinstance(body, tuple):
                os.close(body[0])

    def plan(self, faults):
        """The status, headers and body: bytes, or (fd, offset, count) of a part."""
        if "status" in faults:
            text = faults.get("body", "fault").encode("latin-1")
            return faults["status"], [("Content-Length", str(len(text)))], text
        name = local_file(self.path)
        if name is None:
            return 404, [("Content-Length", "9")], b"not here\n"
        fd = os.open(name, os.O_RDONLY)
        size = os.fstat(fd).st_size
        start, end, status = 0, size, 200
        match = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        if match and match.group(2) and int(match.group(2)) < int(match.group(1)):
            match = None  # not a range: the whole file, as for no Range at all
        if match and not faults.get("ignore_range"):
            start = int(match.group(1)) + faults.get("range_shift", 0)
            if start >= size:
                os.close(fd)
                return 416, [("Content-Range", f"bytes */{size}"), ("Content-Length", "0")], b""
            end = min(size, int(match.group(2)) + 1) if match.group(2) else size
            status = 206
        if "short_body" in faults:
            end = min(end, start + faults["short_body"])
        headers = [("Content-Type", "application/octet-stream"),
                   ("Content-Length", str(end - start)), ("Accept-Ranges", "bytes")]
        if status == 206:
            headers.append(("Content-Range", f"bytes {start}-{end - 1}/{size}"))
        return status, headers, (fd, start, end - start)

    def send_body(self, body, faults):
        if isinstance(body, bytes):
            self.wfile.write(body)
            self.sent = len(body)
            return
        fd, offset, count = body
        limit = count
        for key in ("drop_after", "stall_after"):
            if key in faults:
                limit = min(limit, faults[key])
        throttle, flip = faults.get("throttle"), faults.get("flip_at")
        write = faults.get("write_size", CHUNK)
        self.send_range(fd, offset, limit, throttle, flip, write)
        if "stall_after" in faults and self.sent < count and self.stall(faults):
            self.send_range(fd, offset, count, throttle, flip, write)
        if self.sent < count:
            self.close_connection = True
            if faults.get("reset"):
                self.reset()

    def stall(self, faults):
        """Sends nothing until the stall ends; whether the answer then goes on."""
        open(state_file("stalled"), "w").close()
        deadline = time.monotonic() + faults.get("stall_seconds", 60)
        while time.monotonic() < deadline and not os.path.exists(state_file("release")):
            time.sleep(0.02)
        return faults.get("stall_then") == "continue"

    def send_range(self, fd, offset, end, throttle, flip=None, write=CHUNK):
        """Sends the body from where it stands up to end, at most throttle bytes a second,
        in writes of at most write bytes, with the part's byte at flip inverted."""
        began, start = time.monotonic(), self.sent
        while self.sent < end:
            at = offset + self.sent
            data = os.pread(fd, min(write, end - self.sent, throttle or write), at)
            if not data:
                break
            if flip is not None and at <= flip < at + len(data):
                data = bytearray(data)
                data[flip - at] ^= 0xFF
            self.wfile.write(data)
            self.sent += len(data)
            if throttle:
                time.sleep(max(0, began + (self.sent - start) / throttle - time.monotonic()))

    def reset(self):
        # A reset throws away what the kernel has not sent yet: let the other side take
        # it first (bounded), so the bytes recorded as sent are the bytes it can read.
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            queued = fcntl.ioctl(self.connection.fileno(), termios.TIOCOUTQ, b"\0" * 4)
            if struct.unpack("i", queued)[0] == 0:
                break
            time.sleep(0.01)
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.server.resets.add(self.connection)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    resets = set()
    tls = None  # an SSLContext when serving HTTPS

    def get_request(self):
        connection, address = super().get_request()
        if self.tls is not None:
            # The handshake happens on the handler's thread, at its first read.
            connection = self.tls.wrap_socket(connection, server_side=True,
                                              do_handshake_on_connect=False)
        return connection, address

    def shutdown_request(self, request):
        # The usual shutdown() first would end the connection in order before the reset.
        if request in self.resets:
            self.resets.discard(request)
            self.close_request(request)
        else:
            super().shutdown_request(request)


def main():
    global STATE, WEBROOT
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--webroot", required=True)
    parser.add_argument("--state", required=True, help="directory of config, logs and signals")
    parser.add_argument("--address", default="127.0.0.2")
    parser.add_argument("--port", type=int, default=80)
    parser.add_argument("--tls", nargs=2, metavar=("CERTIFICATE", "KEY"),
                        help="serve HTTPS with this certificate chain and key")
    args = parser.parse_args()
    STATE, WEBROOT = args.state, args.webroot
    server = Server((args.address, args.port), Handler)
    if args.tls:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(*args.tls)
    with open(state_file("ready"), "w", encoding="utf-8") as f:
        f.write("ready\n")
    server.serve_forever()


if __name__ == "__main__":
    main()
