#!/usr/bin/python3
"""velsor-pack.exe, the packer built for Windows, under Wine: it packs a tree
with names outside ASCII and a file big enough for several compression
jobs into the same bytes as the Linux packer, and the executable runs with
every file in place.
Usage: windows_packer.py VELSOR_PACK VELSOR_PACK_EXE PROBE_DLL WORK_DIR"""
import os
import random
import shutil
import subprocess
import sys

from packtools import read, windows_path, wine

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "launcher"))
from make_tree import fnv1a64  # noqa: E402  the hash the probe writes

NAMES = ["données/naïve.txt", "日本語/ファイル.bin", "Ελληνικά/αρχείο.dat", "😀 emoji.txt",
         "deep/ünï/çødé/ß.txt", "big.bin"]


def make_tree(app, probe_dll):
    rng = random.Random(10)
    os.makedirs(app)
    shutil.copy(probe_dll, os.path.join(app, "probe.dll"))
    for name in NAMES:
        path = os.path.join(app, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        # big.bin: 9 MiB, more than one 8 MiB compression job.
        size = 9 << 20 if name == "big.bin" else rng.randrange(1, 5000)
        chunk = rng.randbytes(4096)
        with open(path, "wb") as f:
            f.write((chunk * (size // 4096 + 1))[:size - 64] + rng.randbytes(64))


def expected_hashes(app):
    lines = []
    for root, _, files in os.walk(app):
        for name in files:
            data = read(os.path.join(root, name))
            rel = os.path.relpath(os.path.join(root, name), app).replace("/", "\\")
            lines.append("%s\t%d\t%016x" % (rel, len(data), fnv1a64(data)))
    return sorted(lines, key=lambda s: s.encode("utf-8"))


def main():
    pack, pack_exe, probe_dll, work = sys.argv[1:5]
    shutil.rmtree(work, ignore_errors=True)
    app = os.path.join(work, "app")
    make_tree(app, probe_dll)
    linux_exe, windows_exe = os.path.join(work, "linux.exe"), os.path.join(work, "windows.exe")
    subprocess.run([pack, "build", app, "--entry", "probe.dll", "-o", linux_exe, "--level", "3"], check=True)
    r = wine([pack_exe, "build", windows_path(app), "--entry", "probe.dll", "-o", windows_path(windows_exe),
              "--level", "3"])
    assert r.returncode == 0, "velsor-pack.exe failed: %s" % r.stderr.decode(errors="replace")
    assert read(windows_exe) == read(linux_exe), "the two packers wrote different executables"

    hashes = os.path.join(work, "hashes.txt")
    r = wine([windows_path(windows_exe), "hash", windows_path(hashes)])
    assert r.returncode == 0, "the packed executable ended with %d" % r.returncode
    got = read(hashes).decode("utf-8").splitlines()
    assert got == expected_hashes(app), "unpacked files differ:\n%s" % "\n".join(got)
    print("velsor-pack.exe and velsor-pack wrote the same %d bytes; %d files unpacked intact"
          % (len(read(linux_exe)), len(got)))


if __name__ == "__main__":
    main()
