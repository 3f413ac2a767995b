#!/usr/bin/python3
"""An existing program as the entry gives the packed executable its
subsystem, icon and version information, read back by pefile: a GUI program
with both and a console program with neither (tests/runner/runner_app.c), each as it is and with the options that override it
(--console, --gui, --icon, --version). Each result also passes the checks of
check_executables.py.
Usage: program_defaults.py VELSOR_PACK GUI_PROGRAM CONSOLE_PROGRAM OBJDUMP LAUNCHER WORK_DIR"""
import os
import shutil
import struct
import subprocess
import sys

import pefile

import check_executables
from exe_options import resource_types
from packtools import read

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
ICON_TYPES = (RT_ICON, RT_GROUP_ICON)


def tiny_icon(path):
    """A 16x16 32-bit icon file, different from any program's."""
    image = struct.pack("<IiiHHIIiiII", 40, 16, 32, 1, 32, 0, 0, 0, 0, 0, 0) + b"\x80" * 1024 + bytes(64)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 32, len(image), 22) + image)


def of_types(tree, types):
    return {t: tree[t] for t in types if t in tree}


def main():
    pack, gui_program, console_program, objdump, launcher, work = sys.argv[1:7]
    shutil.rmtree(work, ignore_errors=True)
    icon = os.path.join(work, "tiny.ico")
    launchers = [(read(launcher), pefile.PE(launcher))]
    cases = [  # program, options, subsystem, icon from the program, version from the program
        (gui_program, [], 2, True, True),
        (gui_program, ["--console"], 3, True, True),
        (gui_program, ["--icon", icon], 2, False, True),
        (gui_program, ["--version", "9.8.7.6"], 2, True, False),
        (console_program, [], 3, True, True),
        (console_program, ["--gui"], 2, True, True),
    ]
    for program, options, subsystem, own_icon, own_version in cases:
        name = "%s%s" % ("gui" if program == gui_program else "console", "".join(options[:1]))
        app = os.path.join(work, name, "app")
        os.makedirs(os.path.join(app, "bin"))
        tiny_icon(icon)
        shutil.copy(program, os.path.join(app, "bin", "program.exe"))
        path = os.path.join(work, name, "packed.exe")
        subprocess.run([pack, "build", app, "--entry", "bin/program.exe", "-o", path, "--level", "1"] + options,
                       check=True)
        pe = pefile.PE(path)
        assert check_executables.check(objdump, path, launchers) == [], name
        assert pe.OPTIONAL_HEADER.Subsystem == subsystem, "%s: subsystem %d" % (name, pe.OPTIONAL_HEADER.Subsystem)
        original_pe = pefile.PE(program)
        original = resource_types(original_pe) if hasattr(original_pe, "DIRECTORY_ENTRY_RESOURCE") else {}
        packed = resource_types(pe)
        assert (of_types(packed, ICON_TYPES) == of_types(original, ICON_TYPES)) == own_icon, "%s: icon" % name
        assert (of_types(packed, [RT_VERSION]) == of_types(original, [RT_VERSION])) == own_version, \
            "%s: version" % name
        assert RT_MANIFEST in packed and set(packed) <= {RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST}, name
        print("%s: subsystem %d, resource types %s" % (name, subsystem, sorted(packed)))


if __name__ == "__main__":
    main()
