#!/usr/bin/env python3
"""Blocks for whole-run failure tests, made without the packer (which would
refuse some of them on purpose). Usage:
  make_run_blocks.py OUTDIR PROBE_DLL NO_ENTRY_DLL

  empty.blk          the terminator record alone: no application DLL
  not_a_dll.blk      the first entry is text, so loading it fails
  no_run_code.blk    the first entry is a DLL without run_code
  blocked_path.blk   a file where a later entry needs a directory
  long_name.blk      a name of 1100 code units, beyond the name buffer
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "payload"))
from make_blocks import archive, block, write, zstd  # noqa: E402


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    out, probe_dll, no_entry_dll = sys.argv[1:4]
    os.makedirs(out, exist_ok=True)
    probe = read(probe_dll)
    blocks = {
        "empty": archive([]),
        "not_a_dll": archive([("app.dll", b"this is text, not a program\n")]),
        "no_run_code": archive([("app.dll", read(no_entry_dll))]),
        "blocked_path": archive([("probe.dll", probe), ("x", b"a file"), ("x\\y.txt", b"cannot be created")]),
        "long_name": archive([("probe.dll", probe), ("n" * 1100, b"data")]),
    }
    for name, arc in blocks.items():
        write(os.path.join(out, name + ".blk"), block(zstd(arc, "-3")))


if __name__ == "__main__":
    main()
