#!/usr/bin/env python3
"""A large application tree for the extraction test, and its expected hashes.
Usage: make_tree.py APPDIR PROBE_DLL HASHES

APPDIR gets probe.dll and about 600 files in nested directories (empty
files, names with spaces and non-ASCII letters, one file over 10 MB);
HASHES gets "name<TAB>size<TAB>fnv1a64" lines, sorted, as the probe's hash
mode writes them.
"""
import os
import random
import shutil
import sys


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def contents(rng, i):
    kind = i % 5
    if kind == 0:
        return b""
    if kind == 1:
        return ("text line %d\r\n" % i).encode() * rng.randrange(1, 400)
    if kind == 2:
        return rng.randbytes(rng.randrange(1, 70000))
    if kind == 3:
        return bytes([i % 256]) * rng.randrange(1, 40000)
    return rng.randbytes(rng.randrange(1, 3000))


def main():
    app, probe_dll, hashes = sys.argv[1:4]
    shutil.rmtree(app, ignore_errors=True)
    os.makedirs(app)
    shutil.copy(probe_dll, os.path.join(app, "probe.dll"))
    rng = random.Random(600)
    dirs = ["", "lib", "lib/deep", "lib/deep/er/and deeper", "data files", "data files/\u00e9t\u00e9", "x/y/z/w"]
    for i in range(600):
        d = dirs[i % len(dirs)]
        name = os.path.join(app, d, "file %03d.dat" % i if i % 3 else "f%03d.bin" % i)
        os.makedirs(os.path.dirname(name), exist_ok=True)
        with open(name, "wb") as f:
            f.write(contents(rng, i))
    big = os.path.join(app, "data files", "big.bin")
    with open(big, "wb") as f:
        block = rng.randbytes(1 << 20)
        for k in range(11):
            f.write(bytes((b + k) & 0xFF for b in block[:65536]) + block[65536:])
    lines = []
    for root, _, files in os.walk(app):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                data = f.read()
            rel = os.path.relpath(path, app).replace("/", "\\")
            lines.append("%s\t%d\t%016x" % (rel, len(data), fnv1a64(data)))
    lines.sort(key=lambda s: s.encode("utf-8"))
    with open(hashes, "w", encoding="utf-8", newline="\n") as f:
        f.write("".join(line + "\n" for line in lines))


if __name__ == "__main__":
    main()
