#!/usr/bin/env python3
"""The SHA-256 of every file velsor-pack wrote into a build directory.

    packed_hashes.py BUILD_DIR                  prints "sha256  path" lines
    packed_hashes.py BUILD_DIR --compare FILE   compares with such a list

A file counts as packed when it is a PE file with a .qzv section or a block
file (it starts with "QZV"). A signed file is left out: its signature, made
after packing with a fresh key, differs every time. Wine prefixes,
downloaded sources, CMake's own files, the release staging and the fuzzers'
work folders (copies) are skipped. Used to show that a change to the
packer's code leaves its output byte for byte as it was: save the list before,
rebuild, compare after. Exit status 1 when the lists differ.
"""
import hashlib
import os
import struct
import sys

SKIPPED = {"_deps", "CMakeFiles", "release", "Testing"}


def is_packed(path):
    with open(path, "rb") as f:
        head = f.read(4096)
    if head.startswith(b"QZV"):
        return True
    if not head.startswith(b"MZ") or len(head) < 0x40:
        return False
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if pe + 24 > len(head) or head[pe:pe + 4] != b"PE\0\0":
        return False
    count, optional = struct.unpack_from("<H12xH", head, pe + 6)
    magic = struct.unpack_from("<H", head, pe + 24)[0]
    security = pe + 24 + (144 if magic == 0x20B else 128) + 4
    if security + 4 <= len(head) and struct.unpack_from("<I", head, security)[0] != 0:
        return False  # signed
    table = pe + 24 + optional
    names = [head[table + 40 * i:table + 40 * i + 8] for i in range(count)]
    return any(name.rstrip(b"\0") == b".qzv" for name in names)


def packed_files(build):
    for root, dirs, files in os.walk(build):
        dirs[:] = sorted(d for d in dirs if d not in SKIPPED and not d.startswith(("wineprefix", "work")))
        for name in sorted(files):
            path = os.path.join(root, name)
            if name.endswith((".exe", ".bin", ".dll")) and os.path.isfile(path) and is_packed(path):
                yield os.path.relpath(path, build)


def hashes(build):
    out = {}
    for rel in packed_files(build):
        with open(os.path.join(build, rel), "rb") as f:
            out[rel] = hashlib.sha256(f.read()).hexdigest()
    return out


def main():
    build = sys.argv[1]
    now = hashes(build)
    if len(sys.argv) == 2:
        for rel, digest in now.items():
            print(f"{digest}  {rel}")
        return 0
    before = {}
    with open(sys.argv[3]) as f:
        for line in f:
            digest, rel = line.rstrip("\n").split("  ", 1)
            before[rel] = digest
    differ = sorted(r for r in before.keys() & now.keys() if before[r] != now[r])
    gone = sorted(before.keys() - now.keys())
    new = sorted(now.keys() - before.keys())
    for label, names in (("differs", differ), ("only before", gone), ("only now", new)):
        for rel in names:
            print(f"{label}: {rel}")
    same = len(before.keys() & now.keys()) - len(differ)
    print(f"{same} packed files identical, {len(differ)} differ, {len(gone)} only before, {len(new)} only now")
    return 1 if differ or gone or new else 0


if __name__ == "__main__":
    sys.exit(main())
