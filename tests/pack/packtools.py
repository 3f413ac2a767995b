"""Shared by the packed-executable tests: Wine, paths, and a reading of a
packed executable's layout with pefile (Debian's python3-pefile)."""
import os
import struct
import subprocess

import pefile

RECORD_MARKER = b"QZV block record"
BLOCK_SECTION = b".qzv"


def windows_path(linux_path):
    """A Linux path as Wine shows it (the root is drive Z:)."""
    return "Z:" + os.path.abspath(linux_path).replace("/", "\\")


def wine(args, **kwargs):
    """Runs a Windows program under the project's Wine prefix. Wine reads
    Linux file names in the locale's encoding, so it gets a UTF-8 one."""
    env = dict(os.environ, WINEDEBUG="-all", LANG="C.UTF-8", LC_ALL="C.UTF-8")
    return subprocess.run(["wine"] + list(args), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def section_name(section):
    return section.Name.rstrip(b"\0")


def record(data, pe):
    """(file offset, address field, length field) of the block record."""
    at = data.find(RECORD_MARKER)
    assert at >= 0 and data.find(RECORD_MARKER, at + 1) < 0, "expected exactly one block record"
    address, length = struct.unpack_from("<QQ", data, at + 16)
    return at, address, length


def block_section(pe):
    sections = [s for s in pe.sections if section_name(s) == BLOCK_SECTION]
    return sections[0] if sections else None
