#!/usr/bin/env python3
"""Seed corpus for the payload fuzzers: real blocks from velsor-pack.

    make_corpus.py VELSOR_PACK OUT_DIR

Lays out a few small application directories (a plain DLL name, nested
directories, an empty file, spaces and non-ASCII names, many small files),
packs each with `velsor-pack block` at several levels into OUT_DIR/block,
and writes each block's decompressed archive (through the zstd tool) into
OUT_DIR/archive. The contents are fixed, so the corpus is the same on every
build.
"""
import os
import shutil
import subprocess
import sys
import tempfile

HEADER = 3
TRAILER = 9


def pseudo_random(seed, n):
    """Deterministic bytes (a 32-bit LCG), less compressible than text."""
    out = bytearray()
    x = seed
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out.append(x >> 24)
    return bytes(out)


def write(root, name, data):
    path = os.path.join(root, *name.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def layouts():
    text = b"The quick brown fox jumps over the lazy dog.\r\n" * 20
    yield "single", [("app.dll", b"MZ" + text[:200])]
    yield "nested", [
        ("app.dll", b"MZ" + pseudo_random(1, 600) + text),
        ("data/greeting.txt", b"Hello from the payload.\r\n"),
        ("data/empty.txt", b""),
        ("lib/a/b/c/deep.bin", pseudo_random(2, 3000)),
        ("with space/x y.txt", text),
        ("donn\u00e9es/\u00e9t\u00e9.txt".encode().decode(), b"utf-16 names\n"),
    ]
    many = [("app.dll", b"MZ" + pseudo_random(3, 256))]
    for i in range(40):
        many.append((f"pkg{i % 7}/mod{i % 3}/file{i}.py", b"# module %d\n" % i + text[: 37 * (i + 1)]))
    yield "many", many
    yield "large", [("app.dll", b"MZ" + text), ("big.bin", pseudo_random(4, 300000) + bytes(200000))]


def main():
    pack, out = sys.argv[1], sys.argv[2]
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(os.path.join(out, "block"))
    os.makedirs(os.path.join(out, "archive"))
    with tempfile.TemporaryDirectory() as work:
        for name, files in layouts():
            app = os.path.join(work, name)
            for file_name, data in files:
                write(app, file_name, data)
            for level in (1, 19):
                block = os.path.join(out, "block", f"{name}-{level}.bin")
                subprocess.run([pack, "block", app, "--entry", "app.dll", "-o", block, "--level", str(level),
                                "--threads", "1"], check=True)
                with open(block, "rb") as f:
                    frame = f.read()[HEADER:-TRAILER]
                archive = subprocess.run(["zstd", "-d", "-c", "-q"], input=frame, capture_output=True, check=True)
                with open(os.path.join(out, "archive", f"{name}.bin"), "wb") as f:  # same archive at every level
                    f.write(archive.stdout)


if __name__ == "__main__":
    main()
