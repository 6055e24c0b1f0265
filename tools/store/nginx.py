#!/usr/bin/env python3
"""The download server for tests, the benchmark and the demo: Debian's nginx serving a
web root of stream parts, as a store's download server would (200, 206 for
"Range: bytes=N-", 416 past the end), over plain HTTP or, with --tls, over HTTPS; with
--status, a server that answers every request with that status (the chaos proxy's 5xx
inside TLS).

Everything nginx writes stays in STATE: the generated nginx.conf, its pid, error.log,
access.log (one JSON object a line: method, path, range, status, bytes, bytes_total, msec
(its end, seconds since the epoch), request_time (seconds it took)) and
the temporary directories. A request for /redirect/SCHEME/HOST/PATH is answered with a
302 to SCHEME://HOST/PATH. STATE/ready appears once the port accepts connections.

This process becomes nginx itself, one process in the foreground (no master process),
so the pid that started it is the pid to end: SIGTERM stops it at once. Without a master
process nginx never changes user, so a root-owned web root stays readable.
"""
import argparse
import os
import socket
import time

NGINX = "/usr/sbin/nginx"
READY_TIMEOUT_S = 10

CONFIG = """\
daemon off;
master_process off;
worker_processes 1;
pid "{state}/nginx.pid";
error_log "{state}/error.log" warn;
events {{ worker_connections 256; }}
http {{
    default_type application/octet-stream;
    types {{ }}
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 60s;
    log_format lines escape=json '{{"method":"$request_method","path":"$request_uri",'
        '"range":"$http_range","status":$status,"bytes":$body_bytes_sent,'
        '"bytes_total":$bytes_sent,"msec":$msec,"request_time":$request_time}}';
    access_log "{state}/access.log" lines;
    client_body_temp_path "{state}/temp/body";
    proxy_temp_path "{state}/temp/proxy";
    fastcgi_temp_path "{state}/temp/fastcgi";
    uwsgi_temp_path "{state}/temp/uwsgi";
    scgi_temp_path "{state}/temp/scgi";
    server {{
        listen {address}:{port}{listen_options}{tls};
        server_name _;
        root "{webroot}";
        location / {{ {location} }}
        # For the tests: /redirect/SCHEME/HOST/PATH answers 302 to SCHEME://HOST/PATH.
        location ~ ^/redirect/(https?)/([^/]+)(/.*)$ {{ return 302 $1://$2$3; }}
    }}
}}
"""

# Appended to the listen directive: the same server over TLS, as a store's download
# server or CDN serves it.
TLS = """ ssl;
        ssl_certificate "{cert}";
        ssl_certificate_key "{key}";
        ssl_protocols TLSv1.2 TLSv1.3;
        ssl_session_cache shared:tls:1m"""


def announce_ready(state, address, port, server_pid):
    """In a child: waits until nginx has bound its port (it writes its pid file after
    that, so another server on the port is not mistaken for it) and answers there, then
    writes STATE/ready."""
    deadline = time.monotonic() + READY_TIMEOUT_S
    while time.monotonic() < deadline and os.getppid() == server_pid:
        try:
            with open(os.path.join(state, "nginx.pid"), encoding="utf-8") as f:
                if int(f.read().strip() or 0) != server_pid:
                    raise OSError("not yet")
            socket.create_connection((address, port), timeout=1).close()
        except (OSError, ValueError):
            time.sleep(0.05)
            continue
        with open(os.path.join(state, "ready"), "w", encoding="utf-8") as f:
            f.write("ready\n")
        break
    os._exit(0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--webroot", required=True)
    parser.add_argument("--state", required=True, help="directory for everything nginx writes")
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=80)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"),
                        help="serve HTTPS with this certificate (chain) and key")
    parser.add_argument("--status", type=int,
                        help="answer every request with this status instead of a file")
    parser.add_argument("--sndbuf", help="send buffer of each connection, e.g. 128k: what "
                        "a reset throws away (loopback's own grows to megabytes)")
    args = parser.parse_args()
    state = os.path.abspath(args.state)
    os.makedirs(os.path.join(state, "temp"), exist_ok=True)
    for stale in ("ready", "nginx.pid"):
        try:
            os.remove(os.path.join(state, stale))
        except FileNotFoundError:
            pass
    config = os.path.join(state, "nginx.conf")
    with open(config, "w", encoding="utf-8") as f:
        f.write(CONFIG.format(state=state, webroot=os.path.abspath(args.webroot),
                              address=args.address, port=args.port,
                              tls=TLS.format(cert=os.path.abspath(args.tls[0]),
                                             key=os.path.abspath(args.tls[1]))
                              if args.tls else "",
                              listen_options=f" sndbuf={args.sndbuf}" if args.sndbuf else "",
                              # One answer a connection, as the proxy's own 5xx: a
                              # connection kept alive would answer every retry too.
                              location=f"keepalive_timeout 0; return {args.status};"
                              if args.status else ""))
    server_pid = os.getpid()
    if os.fork() == 0:
        announce_ready(state, args.address, args.port, server_pid)
    # -e: the error log of the moments before the configuration is read.
    os.execv(NGINX, [NGINX, "-p", state + "/", "-c", config,
                     "-e", os.path.join(state, "error.log")])


if __name__ == "__main__":
    main()
