"""Build-time inputs of the console tests.

  make_data.py noise OUT MEGABYTES   pseudo-random bytes (barely compressible)
  make_data.py bad-header OUT        a payload block whose header is not "QZV"
"""
import random
import struct
import sys


def noise(path, megabytes):
    generator = random.Random(20261208)
    with open(path, "wb") as out:
        for _ in range(megabytes):
            out.write(generator.randbytes(1 << 20))


def bad_header(path):
    # Right size and trailer, wrong first bytes: only the header check fails.
    body = b"QZX" + bytes(16) + b"\x00"
    block = body + struct.pack("<Q", len(body))  # L - 8 with L = len(body) + 8
    with open(path, "wb") as out:
        out.write(block)


if __name__ == "__main__":
    if sys.argv[1] == "noise":
        noise(sys.argv[2], int(sys.argv[3]))
    elif sys.argv[1] == "bad-header":
        bad_header(sys.argv[2])
    else:
        sys.exit("unknown kind " + sys.argv[1])
