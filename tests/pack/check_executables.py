#!/usr/bin/python3
"""Independent readers on every packed executable of the build: objdump and
pefile accept each one, the checksum is right, and the packer changed the
launcher only where it must.
Usage: check_executables.py OBJDUMP MIN_COUNT LAUNCHER... -- FILE_OR_DIRECTORY...
Every .exe in a directory is read. Files without a block section are not
packed executables and are passed over, and so are those over 40 MB (the
same packer made them, and pefile's checksum takes a minute for 160 MB); at
least MIN_COUNT must be checked."""
import glob
import os
import subprocess
import sys

from packtools import block_section, read, record, section_name

import pefile

LARGEST_CHECKED = 40 << 20
ASLR_HIGH_ENTROPY_DEP = 0x20 | 0x40 | 0x100
READ_ONLY_DATA = 0x40000040
# What packing may change in the optional header; everything else stays.
CHANGED_FIELDS = {"SizeOfImage", "SizeOfInitializedData", "CheckSum", "Subsystem"}
CHANGED_DIRECTORIES = {"IMAGE_DIRECTORY_ENTRY_RESOURCE"}


MODE_RECORD_MARKER = b"QZV unpack modes"
MODE_RECORD_SIZE = 24 + 2 * 1024


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def expect(condition, message, problems):
    if not condition:
        problems.append(message)


def readers_accept(objdump, path, pe, problems):
    dump = subprocess.run([objdump, "-p", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    expect(dump.returncode == 0 and dump.stderr == "", "objdump -p: %d %s" % (dump.returncode, dump.stderr), problems)
    expect(pe.get_warnings() == [], "pefile warns: %s" % pe.get_warnings(), problems)
    # pefile computes the checksum over what it would write back, and writing
    # back a parsed version resource garbles characters outside the BMP; the
    # headers alone are written back unchanged.
    computed = pefile.PE(data=pe.__data__, fast_load=True).generate_checksum()
    expect(pe.OPTIONAL_HEADER.CheckSum == computed,
           "checksum %#x, computed %#x" % (pe.OPTIONAL_HEADER.CheckSum, computed), problems)
    characteristics = pe.OPTIONAL_HEADER.DllCharacteristics
    expect(characteristics & ASLR_HIGH_ENTROPY_DEP == ASLR_HIGH_ENTROPY_DEP,
           "DllCharacteristics %#x lacks ASLR, high-entropy VA or DEP" % characteristics, problems)
    expect(pe.FILE_HEADER.TimeDateStamp == 0, "a time stamp", problems)


def launcher_unchanged(data, pe, launcher_data, launcher, problems):
    """The launcher's sections are where they were, with the same bytes
    except the record's address and length."""
    record_at = record(data, pe)[0]
    for old, new in zip(launcher.sections, pe.sections):
        # A replaced resource section keeps its place under another name.
        renamed = old.Name.rstrip(b"\0") == b".rsrc" and new.Name == b".rsrcold"
        same = (old.Name if not renamed else new.Name, old.VirtualAddress, old.Misc_VirtualSize, old.PointerToRawData, old.SizeOfRawData,
                old.Characteristics) == (new.Name, new.VirtualAddress, new.Misc_VirtualSize,
                                          new.PointerToRawData, new.SizeOfRawData, new.Characteristics)
        expect(same, "section %s moved or changed its header" % section_name(old), problems)
    patched = bytearray(data[:len(launcher_data)])
    patched[record_at + 16:record_at + 32] = launcher_data[record_at + 16:record_at + 32]
    mode_at = launcher_data.find(MODE_RECORD_MARKER)
    if mode_at >= 0:  # the modes launcher: its unpack mode record is filled in too
        patched[mode_at + 16:mode_at + MODE_RECORD_SIZE] = launcher_data[mode_at + 16:mode_at + MODE_RECORD_SIZE]
    for s in launcher.sections:
        start, end = s.PointerToRawData, s.PointerToRawData + s.SizeOfRawData
        expect(patched[start:end] == launcher_data[start:end], "bytes of %s changed" % section_name(s), problems)
    for field in launcher.OPTIONAL_HEADER.__keys__:
        name = field[0]
        if name not in CHANGED_FIELDS:
            expect(getattr(launcher.OPTIONAL_HEADER, name) == getattr(pe.OPTIONAL_HEADER, name),
                   "optional header field %s changed" % name, problems)
    for old, new in zip(launcher.OPTIONAL_HEADER.DATA_DIRECTORY, pe.OPTIONAL_HEADER.DATA_DIRECTORY):
        if old.name not in CHANGED_DIRECTORIES and old.name != "IMAGE_DIRECTORY_ENTRY_SECURITY":
            expect((old.VirtualAddress, old.Size) == (new.VirtualAddress, new.Size), "%s changed" % old.name, problems)


def layout_right(data, pe, launcher, problems):
    """The added sections follow the launcher's, aligned, read-only, counted
    in the headers; the block is last and the record points at it."""
    header = pe.OPTIONAL_HEADER
    added = pe.sections[len(launcher.sections):]
    expect(added and section_name(added[-1]) == b".qzv", "the block section is not the last", problems)
    previous_end = max(s.VirtualAddress + s.Misc_VirtualSize for s in launcher.sections)
    for s in added:
        expect(s.VirtualAddress == align(previous_end, header.SectionAlignment), "%s not aligned after the "
               "previous section" % section_name(s), problems)
        expect(s.PointerToRawData % header.FileAlignment == 0, "%s raw data unaligned" % section_name(s), problems)
        expect(s.SizeOfRawData == align(s.Misc_VirtualSize, header.FileAlignment), "%s raw size" % section_name(s),
               problems)
        expect(s.Characteristics == READ_ONLY_DATA, "%s is not read-only data" % section_name(s), problems)
        previous_end = s.VirtualAddress + s.Misc_VirtualSize
    expect(header.SizeOfImage == align(previous_end, header.SectionAlignment), "SizeOfImage", problems)
    expect(header.SizeOfInitializedData ==
           launcher.OPTIONAL_HEADER.SizeOfInitializedData + sum(s.SizeOfRawData for s in added),
           "SizeOfInitializedData", problems)
    block = block_section(pe)
    length = block.Misc_VirtualSize
    content = data[block.PointerToRawData:block.PointerToRawData + length]
    # Some test blocks have a damaged header on purpose; all end in a trailer.
    trailer_ok = content[-9] == 0 and int.from_bytes(content[-8:], "little") == length - 8
    expect(trailer_ok, "the block section does not end with the block's trailer", problems)
    _, address, record_length = record(data, pe)
    expect(address == header.ImageBase + block.VirtualAddress and record_length == length,
           "the block record says %#x, %d" % (address, record_length), problems)


def check(objdump, path, launchers):
    data = read(path)
    pe = pefile.PE(data=data)
    if block_section(pe) is None:
        return None
    # The launcher it was made from: its sections are this executable's first ones.
    own = [(d, l) for d, l in launchers if len(l.sections) < len(pe.sections) and
           all((a.VirtualAddress, a.SizeOfRawData, a.PointerToRawData) ==
               (b.VirtualAddress, b.SizeOfRawData, b.PointerToRawData) for a, b in zip(l.sections, pe.sections))]
    if not own:
        return ["made from none of the launchers given"]
    problems = []
    readers_accept(objdump, path, pe, problems)
    launcher_unchanged(data, pe, own[0][0], own[0][1], problems)
    layout_right(data, pe, own[0][1], problems)
    return problems


def main():
    split = sys.argv.index("--")
    objdump, minimum, launcher_paths, files = sys.argv[1], int(sys.argv[2]), sys.argv[3:split], sys.argv[split + 1:]
    launchers = [(read(p), pefile.PE(p)) for p in launcher_paths]
    files = [f for p in files for f in (sorted(glob.glob(os.path.join(p, "*.exe"))) if os.path.isdir(p) else [p])]
    checked, failed = 0, 0
    for path in files:
        if os.path.getsize(path) > LARGEST_CHECKED:
            print("%s: passed over, %d bytes" % (path, os.path.getsize(path)))
            continue
        problems = check(objdump, path, launchers)
        if problems is None:
            continue
        checked += 1
        failed += bool(problems)
        print("%s: %s" % (path, "; ".join(problems) if problems else "ok"))
    print("%d packed executables checked, %d with problems" % (checked, failed))
    sys.exit(1 if failed or checked < minimum else 0)


if __name__ == "__main__":
    main()
