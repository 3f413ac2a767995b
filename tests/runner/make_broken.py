#!/usr/bin/python3
"""Payloads whose runner names a program that cannot start: the runner of a
packed program, taken out of its payload, packed again by velsor-pack block
and link with the program left out (missing) or replaced by text (invalid).
Usage: make_broken.py VELSOR_PACK PACKED.exe WORK_DIR MISSING.exe INVALID.exe"""
import os
import shutil
import struct
import subprocess
import sys

import pefile


def runner_of(packed):
    pe = pefile.PE(packed)
    block = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".qzv").get_data()
    archive = subprocess.run(["zstd", "-d", "-c"], input=block[3:], capture_output=True).stdout
    end = archive.index(b"\0\0")
    while end % 2:
        end = archive.index(b"\0\0", end + 1)
    assert archive[:end].decode("utf-16-le") == ".velsor\\runner.dll"
    size = struct.unpack_from("<Q", archive, end + 2)[0]
    return archive[end + 10:end + 10 + size]


def main():
    pack, packed, work, missing_exe, invalid_exe = sys.argv[1:6]
    runner = runner_of(packed)
    for exe, program in ((missing_exe, None), (invalid_exe, b"not a program\r\n")):
        app = os.path.join(work, os.path.basename(exe) + ".dir")
        shutil.rmtree(app, ignore_errors=True)
        os.makedirs(os.path.join(app, ".velsor"))
        open(os.path.join(app, ".velsor", "runner.dll"), "wb").write(runner)
        if program is not None:
            os.makedirs(os.path.join(app, "bin"))
            open(os.path.join(app, "bin", "runner_app.exe"), "wb").write(program)
        block = app + ".blk"
        subprocess.run([pack, "block", app, "--entry", ".velsor/runner.dll", "-o", block, "--level", "1"], check=True)
        subprocess.run([pack, "link", block, "-o", exe, "--console"], check=True)


if __name__ == "__main__":
    main()
