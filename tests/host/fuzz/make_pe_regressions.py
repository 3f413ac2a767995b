#!/usr/bin/env python3
"""Writes the hand-made regression inputs of the PE reader's fuzzer.

    make_pe_regressions.py OUT_DIR     (normally tests/host/fuzz/regressions/pe)

Each is a small 64-bit console program damaged or built the way a hostile
one would be, as velsor-pack may be given it: as the entry, as --launcher,
or to list. Inputs the fuzzer finds are added to the same folder by hand.
"""
import os
import struct
import sys

IMAGE_BASE = 0x140000000
HEADERS = 0x400
DATA = 0x40000040  # initialised data, readable


def section(name, va, data=b"", raw_offset=None, raw_size=None, vsize=None):
    return dict(name=name, va=va, data=data, raw_offset=raw_offset, raw_size=raw_size,
                vsize=len(data) if vsize is None else vsize)


def pe(sections, directories=None, count=None, optional_size=240, lfanew=0x40, characteristics=0x22,
       image_base=IMAGE_BASE):
    """A PE32+ file: DOS header, COFF and optional header, the section
    table, then each section's data at its raw offset (by default one after
    the other from HEADERS, 0x200-aligned). Sizes may lie on purpose."""
    at = HEADERS
    for s in sections:
        if s["raw_offset"] is None:
            s["raw_offset"] = at
        if s["raw_size"] is None:
            s["raw_size"] = (len(s["data"]) + 0x1FF) & ~0x1FF
        at = max(at, s["raw_offset"] + ((len(s["data"]) + 0x1FF) & ~0x1FF))
    image_size = max([0x1000] + [(s["va"] + max(s["vsize"], 1) + 0xFFF) & ~0xFFF for s in sections])
    dirs = [(0, 0)] * 16
    for index, value in (directories or {}).items():
        dirs[index] = value
    optional = struct.pack("<HBBIIIII", 0x20B, 14, 0, 0x200, 0, 0, 0x1000, 0x1000)
    optional += struct.pack("<QIIHHHHHHIIIIHHQQQQII", image_base, 0x1000, 0x200, 6, 0, 0, 0, 6, 0, 0,
                            image_size, HEADERS, 0, 3, 0x160, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    optional += b"".join(struct.pack("<II", *d) for d in dirs)
    coff = struct.pack("<HHIIIHH", 0x8664, len(sections) if count is None else count, 0, 0, 0, optional_size,
                       characteristics)
    table = b""
    for s in sections:
        table += struct.pack("<8sIIIIIIHHI", s["name"].encode(), s["vsize"], s["va"], s["raw_size"],
                             s["raw_offset"], 0, 0, 0, 0, DATA)
    dos = b"MZ" + bytes(0x3A) + struct.pack("<I", lfanew)
    file = bytearray(dos + b"PE\0\0" + coff + optional + table)
    file += bytes(max(0, HEADERS - len(file)))
    for s in sections:
        end = s["raw_offset"] + len(s["data"])
        if end > len(file):
            file += bytes(end - len(file))
        file[s["raw_offset"]:end] = s["data"]
    file += bytes((-len(file)) % 0x200)
    return bytes(file)


def resource_root(entries):
    """A resource directory table with `entries` (id, offset) pairs."""
    return struct.pack("<IIHHHH", 0, 0, 0, 0, 0, len(entries)) + b"".join(
        struct.pack("<II", i, o) for i, o in entries)


def cases():
    text = section(".text", 0x1000, b"\xC3" * 16)
    tree = resource_root([(3, 0x80000000 | 0x18)]) + resource_root([(1, 0x80000000)])  # leads back to the root
    yield "resource-tree-loop.exe", pe([text, section(".rsrc", 0x2000, tree)], {2: (0x2000, len(tree))})
    # A raw size of nearly 4 GiB from the header alone, over 512 bytes of file.
    rsrc = section(".rsrc", 0x2000, resource_root([]), raw_size=0xFFFFFE00, vsize=0)
    yield "resource-section-4gib.exe", pe([text, rsrc], {2: (0x2000, 0x100)})
    # A thousand sections that each claim the whole file.
    many = [section(".s%d" % i, 0x1000, raw_offset=0, raw_size=0x9000, vsize=0x1000) for i in range(1000)]
    yield "sections-all-over-the-file.exe", pe(many)
    yield "section-table-past-the-end.exe", pe([text], count=5000)
    yield "optional-header-past-the-end.exe", pe([text], optional_size=0xFFFF)
    yield "pe-header-past-the-end.exe", pe([text], lfanew=0xFFFFFFF0)
    # Exports whose name table lies outside every section.
    exports = struct.pack("<IIHHIIIIIII", 0, 0, 0, 0, 0, 1, 1, 1, 0x2100, 0x7FFF0000, 0x2200)
    yield "export-names-outside.dll", pe([text, section(".edata", 0x2000, exports)], {0: (0x2000, 40)},
                                         characteristics=0x2022)
    # A delay-load table of an old linker: attributes 0, the name as an address.
    name = b"missing.dll\0"
    delay = struct.pack("<8I", 0, 0x400000 + 0x2040, 0, 0, 0, 0, 0, 0) + bytes(32)
    idata = section(".didat", 0x2000, delay + name)
    yield "delay-load-names-as-addresses.exe", pe([text, idata], {13: (0x2000, 64)}, image_base=0x400000)
    # An import table whose names never end within the file.
    imports = struct.pack("<5I", 0, 0, 0, 0x2028, 0x2000) + bytes(20)
    yield "import-name-without-end.exe", pe([text, section(".idata", 0x2000, imports + b"x" * (0x400 - 40))],
                                            {1: (0x2000, 40)})


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, data in cases():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
