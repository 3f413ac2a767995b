#!/usr/bin/env python3
"""A foreign block whose second name climbs out of the directory:
  make_dotdot_block.py OUT PROBE_DLL"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "payload"))
from make_blocks import archive, block, write, zstd  # noqa: E402

out, probe_dll = sys.argv[1:3]
with open(probe_dll, "rb") as f:
    probe = f.read()
write(out, block(zstd(archive([("probe.dll", probe), ("..\\..\\velsor_escaped.txt", b"outside\n")]), "-3")))
