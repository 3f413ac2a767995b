#!/usr/bin/python3
"""The two release archives hold what they should: the packer as one file
(the Linux one statically linked, the Windows one importing only system
DLLs), the CMake package with the adapter header, and the README.
Usage: release.py RELEASE_DIR VERSION VELSOR_PACK VELSOR_PACK_EXE"""
import io
import os
import struct
import subprocess
import sys
import tarfile
import zipfile

import pefile

PACKAGE = ["lib/cmake/velsor/velsorConfig.cmake", "lib/cmake/velsor/velsorConfigVersion.cmake",
           "lib/cmake/velsor/VelsorPack.cmake", "lib/cmake/velsor/mingw-w64-x86_64.cmake", "include/velsor/app.h"]
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "advapi32.dll", "user32.dll", "shell32.dll", "ntdll.dll"}


def has_interpreter(elf):
    """Whether an ELF executable names a dynamic loader (PT_INTERP)."""
    phoff, = struct.unpack_from("<Q", elf, 32)
    entsize, count = struct.unpack_from("<HH", elf, 54)
    return any(struct.unpack_from("<I", elf, phoff + i * entsize)[0] == 3 for i in range(count))


def main():
    release, version, pack, pack_exe = sys.argv[1:5]
    linux = "velsor-%s-linux-x86_64" % version
    with tarfile.open(os.path.join(release, linux + ".tar.gz")) as tar:
        files = {m.name[len(linux) + 1:]: m for m in tar.getmembers() if m.isfile()}
        assert sorted(files) == sorted(PACKAGE + ["bin/velsor-pack", "share/doc/velsor/README.md"]), sorted(files)
        packer = tar.extractfile(files["bin/velsor-pack"]).read()
    assert packer == open(pack, "rb").read() and not has_interpreter(packer), "Linux packer not the static one"
    out = subprocess.run(["env", "-i", pack, "--version"], stdout=subprocess.PIPE, text=True, check=True).stdout
    assert out == "velsor-pack %s\n" % version, out

    windows = "velsor-%s-windows-x64" % version
    with zipfile.ZipFile(os.path.join(release, windows + ".zip")) as z:
        files = [n[len(windows) + 1:] for n in z.namelist() if not n.endswith("/")]
        assert sorted(files) == sorted(PACKAGE + ["bin/velsor-pack.exe", "README.md"]), sorted(files)
        packer = z.read(windows + "/bin/velsor-pack.exe")
    assert packer == open(pack_exe, "rb").read(), "the zip holds another velsor-pack.exe"
    imports = {i.dll.decode().lower() for i in pefile.PE(data=packer).DIRECTORY_ENTRY_IMPORT}
    assert imports <= SYSTEM_DLLS, imports
    print("release archives: %s.tar.gz, %s.zip; velsor-pack.exe imports %s" % (linux, windows, sorted(imports)))


if __name__ == "__main__":
    main()
