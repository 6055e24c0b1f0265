#!/usr/bin/env python3
"""Holds a soak's packet capture (QV_SOAK_CAPTURE=1) against the chaos proxy's own
accounts of each connection: what nginx sent the proxy and what the program's system
received from it, byte count, SHA-256 and TLS record layout, so that a stream that came
out of step shows on which side it did.

Usage: soak_streams.py RESULTS_DIR [LAST]   (RESULTS_DIR holds soak-connections.jsonl
and soak-capture/; LAST: print only the last LAST connections, default 10). Writes
RESULTS_DIR/soak-streams.json and exits non-zero when a captured stream differs from
the proxy's account or stops being TLS records.
"""

import glob
import hashlib
import json
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tools", "store"))
from chaos_proxy import RecordCheck  # noqa: E402

SYN, FIN, RST = 0x02, 0x01, 0x04
NGINX = bytes([127, 0, 0, 1])  # every nginx; the proxy listens on another address


class Stream:
    """One direction of one TCP connection, put back in order from its segments."""

    def __init__(self, first_seq, limits=()):
        self.next = first_seq
        self.waiting = {}
        self.count = 0
        self.hash = hashlib.sha256()
        self.prefixes = {limit: hashlib.sha256() for limit in limits if limit is not None}
        self.records = RecordCheck()
        self.fin = self.rst = None  # stream offset when seen

    def add(self, seq, data):
        ahead = (seq - self.next) % (1 << 32)
        if ahead >= 1 << 31:  # starts before what we have: a retransmission
            skip = (self.next - seq) % (1 << 32)
            if skip >= len(data):
                return
            data, seq = data[skip:], self.next
            ahead = 0
        if ahead:
            self.waiting[seq] = data
            return
        self._take(data)
        while self.next in self.waiting:
            self.add(self.next, self.waiting.pop(self.next))

    def _take(self, data):
        self.hash.update(data)
        for limit, prefix in self.prefixes.items():
            if self.count < limit:
                prefix.update(data[:limit - self.count])
        self.records.feed(data)
        self.count += len(data)
        self.next = (self.next + len(data)) % (1 << 32)

    def prefix(self, limit):
        """The hash of the first limit bytes, if the stream had that many."""
        return self.prefixes[limit].hexdigest() if self.count >= limit else None


def packets(paths):
    """(time, src, sport, dst, dport, flags, seq, payload) of every TCP/IPv4 packet."""
    for path in paths:
        with open(path, "rb") as f:
            head = f.read(24)
            if len(head) < 24:
                continue
            magic, = struct.unpack("<I", head[:4])
            endian = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
            nano = magic in (0xA1B23C4D, 0x4D3CB2A1)
            link, = struct.unpack(endian + "I", head[20:24])
            skip = 14 if link == 1 else 16 if link == 113 else 0
            while record := f.read(16):
                if len(record) < 16:
                    break
                sec, frac, length, _ = struct.unpack(endian + "IIII", record)
                frame = f.read(length)
                ip = frame[skip:]
                if len(ip) < 20 or ip[0] >> 4 != 4 or ip[9] != 6:
                    continue
                ihl = (ip[0] & 15) * 4
                total = struct.unpack(">H", ip[2:4])[0]
                tcp = ip[ihl:total]
                sport, dport, seq = struct.unpack(">HHI", tcp[:8])
                offset = (tcp[12] >> 4) * 4
                yield (sec + frac / (1e9 if nano else 1e6), ip[12:16], sport, ip[16:20], dport,
                       tcp[13], seq, tcp[offset:])


def ring(directory):
    """The capture's files, oldest first (tcpdump -C -W numbers them round a ring)."""
    return sorted(glob.glob(os.path.join(directory, "lo.pcap*")), key=os.path.getmtime)


def follow(paths, side, owners, limits):
    """The server-to-client streams of one side, by port: "down" (the proxy towards the
    program, from port 443 or 80 of the proxy's address) or "upstream" (nginx towards
    the proxy's upstream port); limits(port) gives the prefixes to hash."""
    streams = {}
    for _, src, sport, _, dport, flags, seq, data in packets(paths):
        if dport not in owners or (src == NGINX) != (side == "upstream") or \
                side == "down" and sport not in (443, 80):
            continue
        if flags & SYN:
            streams[dport] = Stream((seq + 1) % (1 << 32), limits(dport))
            continue
        stream = streams.get(dport)
        if stream is None:  # began before the capture's oldest file
            continue
        if data:
            stream.add(seq, data)
        if flags & FIN and stream.fin is None:
            stream.fin = stream.count
        if flags & RST and stream.rst is None:
            stream.rst = stream.count
    return streams


def main():
    kept = sys.argv[1]
    last = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    with open(os.path.join(kept, "soak-connections.jsonl")) as f:
        connections = [json.loads(line) for line in f if line.strip()]
    paths = ring(os.path.join(kept, "soak-capture"))
    by_peer = {c["peer"]: c for c in connections if c.get("peer")}
    by_upstream = {c["upstream_port"]: c for c in connections if c.get("upstream_port")}
    down = follow(paths, "down", by_peer, lambda port: ())
    received = {c["upstream_port"]: down[c["peer"]].count for c in connections
                if c.get("peer") in down and c.get("upstream_port")}
    up = follow(paths, "upstream", by_upstream,
                lambda port: (by_upstream[port].get("from_upstream"), by_upstream[port]["down"],
                              received.get(port)))
    rows, problems = [], []
    for c in connections:
        got, sent = down.get(c.get("peer")), up.get(c.get("upstream_port"))
        row = {"connection": c["connection"], "ended": c["ended"],
               "proxy_from_upstream": c.get("from_upstream"), "proxy_down": c["down"],
               "unsent": c.get("unsent")}
        checks = {}
        if sent is not None:
            row["nginx_sent"] = sent.count
            checks["proxy_read_what_nginx_sent"] = \
                sent.prefix(c["from_upstream"]) == c.get("from_upstream_sha256")
            checks["proxy_sent_a_prefix_of_nginx"] = \
                sent.prefix(c["down"]) == c.get("down_sha256")
        if got is not None:
            row.update(program_received=got.count, records=got.records.summary(),
                       reset_at=got.rst, fin_at=got.fin, gaps=len(got.waiting))
            if got.count == c["down"]:
                checks["program_received_what_proxy_sent"] = \
                    got.hash.hexdigest() == c.get("down_sha256")
            if sent is not None:
                checks["program_received_a_prefix_of_nginx"] = \
                    sent.prefix(got.count) == got.hash.hexdigest()
            if c.get("tls"):
                checks["program_received_tls_records"] = got.records.bad_at is None
            checks["nothing_missing"] = not got.waiting
        if sent is None and got is None:
            continue
        row.update(checks)
        rows.append(row)
        failed = [name for name, ok in checks.items() if not ok]
        if failed:
            problems.append((c["connection"], failed))
    with open(os.path.join(kept, "soak-streams.json"), "w") as f:
        json.dump({"rows": rows, "problems": problems}, f, indent=1)
    print(f"{len(rows)} of {len(connections)} connections in the capture from their start")
    for row in rows[-last:]:
        print(json.dumps(row))
    print("problems:", problems or "none")
    return 1 if problems else 0

if __name__ == "__main__":
    sys.exit(main())
