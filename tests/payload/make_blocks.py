#!/usr/bin/env python3
"""Makes payload blocks for the reader and launcher tests.

Archives are written here from their definition (not by the packer), and
frames by the zstd command-line tool, so the launcher is checked against
independent producers. Usage: make_blocks.py OUTDIR ENTRY_DLL

ENTRY_DLL becomes the tree's first entry, app.dll.

Writes into OUTDIR:
  tree/                    a small application tree (input for the packer)
  archive.bin              the archive of tree/ as the packer must write it
  cli.blk                  archive.bin, one frame from the zstd CLI
  cli_two_frames.blk       the archive split over two frames
  cli_skippable.blk        a skippable frame, then the frame
  cli_checksum.blk         a frame with a content checksum
  window_max.blk           frame with Window_Descriptor 0x88 (2^27)
  big_zeros.archive / big_zeros_no_trailer.blk
                           a frame whose decoder holds output after all input
  bad_*.blk                blocks the launcher must refuse
"""
import os
import random
import struct
import subprocess
import sys


def record(name, data):
    return name.encode("utf-16-le") + b"\0\0" + struct.pack("<Q", len(data)) + data


def archive(entries, terminator=True):
    out = b"".join(record(name, data) for name, data in entries)
    return out + (b"\0\0" if terminator else b"")


def zstd(data, *args):
    # Input through a pipe, so the tool does not know the size up front.
    return subprocess.run(["zstd", "-q", "-c", *args], input=data, stdout=subprocess.PIPE, check=True).stdout


def block(frames, header=b"QZV"):
    body = header + frames + b"\0"
    return body + struct.pack("<Q", len(body))


def tree_entries(entry_dll):
    rng = random.Random(20261208)
    with open(entry_dll, "rb") as f:
        dll = f.read()
    entries = [
        ("app.dll", dll),
        ("data\\empty.txt", b""),
        ("data\\text.txt", b"line of text\n" * 5000),
        ("data\\deeper\\random.bin", bytes(rng.randrange(256) for _ in range(300000))),
        ("\u00fcml\u00e4ut\\\u65e5\u672c.txt", "non-ASCII name\n".encode()),
        ("z.bin", bytes(rng.randrange(4) for _ in range(131072 * 2 + 5))),
    ]
    first, rest = entries[0], entries[1:]
    # The packer orders every entry after the first by its UTF-16 code units.
    rest.sort(key=lambda e: e[0].encode("utf-16-be"))
    return [first] + rest


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def frame_with_window_descriptor(data, descriptor):
    # zstd writes Window_Descriptor 0x88 for --long=27 with an unknown size
    # and no content size; the byte after the magic and the frame header
    # descriptor is the window descriptor.
    frame = zstd(data, "-3", "--long=27", "--no-check", "--no-content-size")
    assert frame[4] == 0x00 and frame[5] == 0x88, frame[:6].hex()
    return frame[:5] + bytes([descriptor]) + frame[6:]


def main():
    out = sys.argv[1]
    os.makedirs(os.path.join(out, "tree"), exist_ok=True)
    entries = tree_entries(sys.argv[2])
    for name, data in entries:
        path = os.path.join(out, "tree", *name.split("\\"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write(path, data)
    arc = archive(entries)
    write(os.path.join(out, "archive.bin"), arc)

    write(os.path.join(out, "cli.blk"), block(zstd(arc, "-19")))
    half = len(arc) // 2
    write(os.path.join(out, "cli_two_frames.blk"), block(zstd(arc[:half], "-3") + zstd(arc[half:], "-3")))
    skippable = struct.pack("<II", 0x184D2A53, 7) + b"skipped"
    write(os.path.join(out, "cli_skippable.blk"), block(skippable + zstd(arc, "-3")))
    checked = zstd(arc, "-3", "--check")
    write(os.path.join(out, "cli_checksum.blk"), block(checked))
    write(os.path.join(out, "window_max.blk"), block(frame_with_window_descriptor(arc, 0x88)))

    # Highly compressible: the first decoder call takes all input (there is
    # no trailer) yet fills the output buffer several times over.
    zeros = archive([("zeros.bin", b"\0" * (131072 * 5 + 17))])
    write(os.path.join(out, "big_zeros.archive"), zeros)
    write(os.path.join(out, "big_zeros_no_trailer.blk"), b"QZV" + zstd(zeros, "-19"))

    # Blocks that must be refused with "Error, couldn't decode attached data.".
    write(os.path.join(out, "bad_window_too_large.blk"), block(frame_with_window_descriptor(arc, 0x89)))
    plain = frame_with_window_descriptor(arc, 0x88)
    with_dictionary = plain[:4] + b"\x01" + plain[5:6] + b"\x07" + plain[6:]  # Dictionary_ID 7
    write(os.path.join(out, "bad_dictionary.blk"), block(with_dictionary))
    bad_sum = checked[:-1] + bytes([checked[-1] ^ 0xFF])
    write(os.path.join(out, "bad_checksum.blk"), block(bad_sum))
    frame = zstd(arc, "-3")
    middle = len(frame) // 2
    corrupt = frame[:middle] + bytes(b ^ 0x5A for b in frame[middle:middle + 64]) + frame[middle + 64:]
    write(os.path.join(out, "bad_corrupt.blk"), block(corrupt))
    write(os.path.join(out, "bad_no_terminator.blk"), block(zstd(archive(entries, terminator=False), "-3")))
    write(os.path.join(out, "bad_truncated_data.blk"), block(zstd(arc[: len(arc) - 1000], "-3")))
    write(os.path.join(out, "bad_not_a_frame.blk"), block(b"this is not zstd data at all"))

    # Blocks that must be refused with "Error, couldn't find attached data header.".
    for i, name in enumerate(["bad_header_0", "bad_header_1", "bad_header_2"]):
        header = bytearray(b"QZV")
        header[i] ^= 0x20
        write(os.path.join(out, name + ".blk"), block(zstd(arc, "-3"), bytes(header)))


if __name__ == "__main__":
    main()
