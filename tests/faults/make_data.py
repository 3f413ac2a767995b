#!/usr/bin/env python3
"""Data files of the fault-test application: make_data.py OUT_DIR.

About 4 MB in a few sub-directories, compressible like text (so the packed
executable stays small while the unpacked tree overflows a 1 MB disk), plus a
few small files. Deterministic."""
import os
import sys

out = sys.argv[1]
words = [b"launcher", b"payload", b"window", b"frame", b"record", b"directory", b"temporary", b"child",
         b"parent", b"console"]


def text(seed, size):
    lines = []
    x = seed
    total = 0
    while total < size:
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        line = b" ".join(words[(x >> s) % len(words)] for s in range(0, 24, 3)) + b" %d\r\n" % x
        lines.append(line)
        total += len(line)
    return b"".join(lines)[:size]


files = {
    "data/big/part1.txt": text(1, 2_000_000),
    "data/big/part2.txt": text(2, 2_000_000),
    "data/small/a.txt": text(3, 1000),
    "data/small/b.txt": text(4, 10),
    "config/settings.ini": b"[faults]\r\nname=faults_app\r\n",
}
for name, data in files.items():
    path = os.path.join(out, *name.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
