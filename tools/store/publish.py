#!/usr/bin/env python3
"""Publishes a product on the download server: its files, concatenated in list order,
cut into stream parts of exactly 2,000,000,000 bytes (the last one shorter). The first, number 0, is
WEBROOT/PATH, part k >= 1 is WEBROOT/PATH.(k+1). Prints the product's file list with
sizes and SHA-256 hashes, and the total: the figures its sign-in answer carries.

Holes in the sources stay holes in the parts, so a huge sparse test product costs no
disk. Each part appears complete or not at all (written aside, then renamed), so the
server never hands out half a part.
"""
import argparse
import errno
import hashlib
import json
import os
import sys
import tempfile

PART_SIZE = 2_000_000_000
COPY_CHUNK = 1 << 20


def part_file(webroot, path, index):
    base = os.path.join(webroot, path.strip("/"))
    return base if index == 0 else f"{base}.{index + 1}"


def _source(source_dir, name):
    parts = name.split("/")
    if name.startswith("/") or "" in parts or "." in parts or ".." in parts:
        raise ValueError(f"not a relative file name: {name!r}")
    return os.path.join(source_dir, *parts)


def _copy(src, dst, start, end, at):
    """Copies bytes [start, end) of src to dst at offset at, skipping holes."""
    position = start
    while position < end:
        try:
            data = os.lseek(src, position, os.SEEK_DATA)
        except OSError as error:
            if error.errno == errno.ENXIO:  # only a hole is left
                return
            raise
        if data >= end:
            return
        stop = min(os.lseek(src, data, os.SEEK_HOLE), end)
        while data < stop:
            count = min(COPY_CHUNK, stop - data)
            try:
                done = os.copy_file_range(src, dst, count, data, at + data - start)
            except OSError as error:
                if error.errno not in (errno.EXDEV, errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
                    raise
                done = os.pwrite(dst, os.pread(src, count, data), at + data - start)
            if done <= 0:
                raise OSError(errno.EIO, f"copy stopped at {data} of {stop}")
            data += done
        position = stop


def file_hashes(source_dir, files):
    """The SHA-256 of each source file, as 64 lower-case hexadecimal digits."""
    digests = []
    for name in files:
        digest = hashlib.sha256()
        with open(_source(source_dir, name), "rb") as f:
            while chunk := f.read(COPY_CHUNK):
                digest.update(chunk)
        digests.append(digest.hexdigest())
    return digests


def publish(source_dir, files, webroot, path):
    """Writes the product's stream parts; returns ([(name, size), ...], total)."""
    sources = [_source(source_dir, name) for name in files]
    sizes = [os.path.getsize(source) for source in sources]
    total = sum(sizes)
    count = max(1, -(-total // PART_SIZE))
    os.makedirs(os.path.dirname(part_file(webroot, path, 0)), exist_ok=True)
    for index in range(count):
        begin, end = index * PART_SIZE, min(total, (index + 1) * PART_SIZE)
        target = part_file(webroot, path, index)
        fd, temporary = tempfile.mkstemp(dir=os.path.dirname(target),
                                         prefix="." + os.path.basename(target) + ".")
        try:
            with os.fdopen(fd, "wb") as out:
                offset = 0  # of the current file in the stream
                for source, size in zip(sources, sizes):
                    low, high = max(begin, offset), min(end, offset + size)
                    if low < high:
                        with open(source, "rb") as f:
                            _copy(f.fileno(), out.fileno(), low - offset, high - offset,
                                  low - begin)
                    offset += size
                os.ftruncate(fd, end - begin)  # a trailing hole counts in the length too
                os.fchmod(fd, 0o644)
            os.replace(temporary, target)
        except BaseException:
            os.unlink(temporary)
            raise
    # Parts left over from a longer earlier publication of the same path would be served.
    index = count
    while os.path.exists(part_file(webroot, path, index)):
        os.unlink(part_file(webroot, path, index))
        index += 1
    return list(zip(files, sizes)), total


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--webroot", required=True, help="the download server's root")
    parser.add_argument("--path", required=True, help="URL path of part 0, e.g. /products/quest")
    parser.add_argument("--json", action="store_true",
                        help='print {"files": [[name, size, sha256], ...], "total": N}')
    parser.add_argument("source_dir")
    parser.add_argument("files", nargs="+",
                        help="names relative to SOURCE_DIR, / separated, in stream order")
    args = parser.parse_args()
    try:
        files, total = publish(args.source_dir, args.files, args.webroot, args.path)
        hashes = file_hashes(args.source_dir, args.files)
    except (OSError, ValueError) as error:
        sys.exit(f"publish: {error}")
    if args.json:
        print(json.dumps({"files": [[name, size, digest] for (name, size), digest
                                    in zip(files, hashes)], "total": total}))
    else:
        for (name, size), digest in zip(files, hashes):
            print(name, size, digest)
        print("total", total)


if __name__ == "__main__":
    main()
