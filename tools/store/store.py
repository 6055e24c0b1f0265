#!/usr/bin/env python3
"""The local store: the sign-in endpoint over HTTPS, and the same handler over plain
HTTP, for the tests and the demo. Never shipped.

It reads STATE/config.json afresh for every request, so a test reconfigures it between
requests by rewriting that file (write a temporary file and rename it). Every request is
appended to STATE/requests.jsonl before it is answered. STATE/ready appears once both
ports listen.

config.json (every key optional):
  tokens    list of accepted sign-in tokens
  accounts  {"account name": "password"}
  products  {"product id": ["title", "installer", "host/path", "file", "size", ...]}; each
            size may be followed by "sha256:" and the file's 64 hexadecimal digits
  force     a forced answer instead of the store's own, for every request:
    status          HTTP status (default 200)
    body            the body as text; each character is one byte (latin-1, "\u0000" is NUL)
    pad_to          the body followed by "x" up to this many bytes (a long answer without
                    a long configuration)
    content_length  the Content-Length to announce (default: the body's length;
                    null sends none and ends the body by closing the connection)
    drop_after      close the connection after this many body bytes
    stall_after     stop sending after this many body bytes ...
    stall_seconds   ... for this long (default 60), then close
    stall_then_send after the stall send the rest of the body instead of closing
    stall_before_headers  stall before sending anything
    chunk, chunk_delay    send the body in pieces of chunk bytes, pausing between them
    location        a Location header
    headers         more headers, [["name", "value"], ...] (Set-Cookie, WWW-Authenticate)
    garbage         after the stall, written under the TLS layer as a stream out of
                    step with its records would bring them: a record header of an
                    unknown type for 256 bytes, then this many bytes of 0xFF

Without force: POST /downloader_sign_in signs in; GET /pattern/N answers N bytes whose
byte i is i % 251; anything else is 404.
"""
import argparse
import http.server
import json
import os
import socket
import ssl
import threading
import time
import urllib.parse

STATE = "."
LOG_LOCK = threading.Lock()


def load_config():
    try:
        with open(os.path.join(STATE, "config.json"), encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return {}


def record(entry):
    with LOG_LOCK, open(os.path.join(STATE, "requests.jsonl"), "a", encoding="utf-8") as f:
        f.write(json.dumps(entry) + "\n")
        f.flush()


def envelope(*fields):
    return b"\0".join([b"quarryvale"] + [f.encode("latin-1") for f in fields])


def sign_in(config, fields):
    values = dict(fields)
    product = values.get("product", "")
    if "cookie" in values:
        accepted = values["cookie"] in config.get("tokens", [])
    else:
        accounts = config.get("accounts", {})
        name = values.get("name")
        accepted = name in accounts and accounts[name] == values.get("password")
    if not accepted:
        return envelope("not_signed_in")
    answer = config.get("products", {}).get(product)
    if answer is None:
        return envelope("error", "This product is not sold here.")
    return envelope("ok", *answer)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "QuarryvaleStore/1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.answer()

    def do_POST(self):
        self.answer()

    def answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        body_text = raw.decode("latin-1")
        fields = urllib.parse.parse_qsl(body_text, keep_blank_values=True, encoding="latin-1")
        record({
            "port": self.server.server_address[1],
            "method": self.command,
            "path": self.path,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body": body_text,
            "fields": [[k, v] for k, v in fields],
        })
        config = load_config()
        force = config.get("force") or {}
        if force.get("stall_before_headers"):
            time.sleep(force.get("stall_seconds", 60))
            self.close_connection = True
            return
        status = 200
        if "body" in force or "status" in force:
            status = force.get("status", 200)
            body = force.get("body", "").encode("latin-1")
            body += b"x" * max(0, force.get("pad_to", 0) - len(body))
        elif self.command == "POST" and self.path == "/downloader_sign_in":
            body = sign_in(config, fields)
        elif self.command == "GET" and self.path.startswith("/pattern/"):
            size = int(self.path[len("/pattern/"):])
            body = (bytes(range(251)) * (size // 251 + 1))[:size]
        else:
            status, body = 404, b"not here"
        self.send(status, body, force)

    def send(self, status, body, force):
        self.close_connection = True
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        announced = force.get("content_length", len(body))
        if announced is not None:
            self.send_header("Content-Length", str(announced))
        if "location" in force:
            self.send_header("Location", force["location"])
        for name, value in force.get("headers", []):
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        limit = len(body)
        if "drop_after" in force:
            limit = min(limit, force["drop_after"])
        if "stall_after" in force:
            limit = min(limit, force["stall_after"])
        chunk = force.get("chunk") or max(limit, 1)
        delay = force.get("chunk_delay", 0)
        try:
            for start in range(0, limit, chunk):
                self.wfile.write(body[start:start + chunk])
                self.wfile.flush()
                if delay:
                    time.sleep(delay)
            if "stall_after" in force:
                time.sleep(force.get("stall_seconds", 60))
                if force.get("stall_then_send"):
                    self.wfile.write(body[limit:])
                    self.wfile.flush()
                if force.get("garbage"):
                    # Past the TLS layer, on the socket itself.
                    socket.socket.sendall(self.connection,
                                          b"\x99\x03\x03\x01\x00" + b"\xff" * force["garbage"])
                    time.sleep(force.get("stall_seconds", 60))
            elif "drop_after" in force:
                # Let what was sent arrive first (a reset discards what the other side
                # has not read yet), then close hard, without the orderly end a complete
                # answer has.
                time.sleep(0.3)
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                           b"\1\0\0\0\0\0\0\0")
        except OSError:
            pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    global STATE
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--state", required=True, help="directory of config, log and ready file")
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--https-port", type=int, default=443)
    parser.add_argument("--http-port", type=int, default=80, help="0 for none")
    parser.add_argument("--cert", help="certificate chain (PEM) for HTTPS")
    parser.add_argument("--key", help="private key (PEM) for HTTPS")
    args = parser.parse_args()
    STATE = args.state

    servers = []
    if args.cert:
        https = Server((args.address, args.https_port), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        https.socket = context.wrap_socket(https.socket, server_side=True)
        servers.append(https)
    if args.http_port:
        servers.append(Server((args.address, args.http_port), Handler))
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    with open(os.path.join(STATE, "ready"), "w", encoding="utf-8") as f:
        f.write("ready\n")
    threading.Event().wait()


if __name__ == "__main__":
    main()
