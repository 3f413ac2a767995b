#!/usr/bin/env python3
"""Writes the hand-made regression inputs of the payload fuzzers.

    make_regressions.py OUT_DIR     (normally tests/host/fuzz/regressions)

Each file name ends in the outcome the parent-role walk must reach
(walk_replay checks it). Files under archive/ are decompressed archives;
files under block/ are whole blocks. Inputs the fuzzers found are added to
the same folders by hand, named the same way.
"""
import os
import struct
import sys

MAGIC = b"\x28\xb5\x2f\xfd"


def name(text):
    return text.encode("utf-16-le") + b"\0\0"


def record(text, data):
    return name(text) + struct.pack("<Q", len(data)) + data


END = b"\0\0"


def raw_frame(payload, descriptor=0x00, window=0x88, extra=b""):
    """One frame of raw blocks; `extra` follows the frame header (e.g. a dictionary ID)."""
    out = MAGIC + bytes([descriptor, window]) + extra
    pieces = [payload[i:i + 65536] for i in range(0, len(payload), 65536)] or [b""]
    for i, piece in enumerate(pieces):
        header = (len(piece) << 3) | (1 if i == len(pieces) - 1 else 0)
        out += struct.pack("<I", header)[:3] + piece
    return out


def block(frames):
    body = b"QZV" + frames + b"\0"
    return body + struct.pack("<Q", len(body))


def archives():
    app = record("app.dll", b"MZ" + bytes(100))
    yield "terminator-only.completed", END
    yield "one-empty-file.completed", record("app.dll", b"") + END
    yield "name-1023-units.completed", record("a" * 1023, b"x") + END
    yield "name-1024-units.capacity_stop", record("a" * 1024, b"x") + END
    yield "name-never-ends.decode_failed", "abc".encode("utf-16-le")
    yield "no-terminator.decode_failed", app
    yield "size-beyond-data.decode_failed", name("app.dll") + struct.pack("<Q", 1000) + b"short" + END
    yield "size-field-cut.decode_failed", name("app.dll") + b"\1\0\0"
    yield "huge-size.decode_failed", name("app.dll") + struct.pack("<Q", 2**64 - 1) + b"data" + END
    yield "five-levels-deep.completed", app + record("a\\b\\c\\d\\e\\f.txt", b"deep") + END
    yield "same-name-twice.completed", app + record("x.txt", b"one") + record("x.txt", b"two") + END
    yield "file-then-directory.open_failed", app + record("dir", b"f") + record("dir\\x", b"g") + END
    yield "invalid-character.open_failed", app + record("a*b.txt", b"x") + END
    yield "leading-backslash.completed", app + record("\\lead.txt", b"x") + END
    yield "forward-slash-not-a-separator.open_failed", app + record("sub/x.txt", b"x") + END
    dirs = b"".join(record(f"d{i}\\f.txt", b"") for i in range(1100))
    yield "more-directories-than-table.completed", app + dirs + END


def blocks():
    archive = record("app.dll", b"MZ" + bytes(64)) + record("data\\x.txt", b"hello") + END
    yield "empty.header_missing", b""
    yield "two-bytes.header_missing", b"QZ"
    yield "wrong-header.header_missing", b"QZW" + block(raw_frame(archive))[3:]
    yield "header-only.decode_failed", b"QZV"
    yield "trailer-only.decode_failed", block(b"")
    yield "raw-frame.completed", block(raw_frame(archive))
    yield "window-2-27.completed", block(raw_frame(archive, window=0x88))
    yield "window-above-2-27.decode_failed", block(raw_frame(archive, window=0x89))
    yield "dictionary-id.decode_failed", block(raw_frame(archive, descriptor=0x01, extra=b"\x07"))
    yield "two-frames.completed", block(raw_frame(archive[:30]) + raw_frame(archive[30:]))
    skippable = struct.pack("<II", 0x184D2A53, 5) + b"12345"
    yield "skippable-frame-first.completed", block(skippable + raw_frame(archive))
    yield "frame-cut-short.decode_failed", block(raw_frame(archive)[:-10])
    yield "terminator-missing.decode_failed", block(raw_frame(archive[:-2]))


def main():
    out = sys.argv[1]
    for folder, items in (("archive", archives()), ("block", blocks())):
        os.makedirs(os.path.join(out, folder), exist_ok=True)
        for file_name, data in items:
            with open(os.path.join(out, folder, file_name + ".bin"), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
