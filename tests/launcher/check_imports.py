#!/usr/bin/env python3
"""Fails unless every given PE file imports only Windows system DLLs, so a
packed executable runs alone, with no runtime DLLs beside it.
Usage: check_imports.py OBJDUMP FILE..."""
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "shell32.dll", "user32.dll", "advapi32.dll", "ntdll.dll"}


def imports(objdump, path):
    text = subprocess.run([objdump, "-p", path], stdout=subprocess.PIPE, check=True, text=True).stdout
    return re.findall(r"DLL Name: (\S+)", text)


def main():
    objdump, files = sys.argv[1], sys.argv[2:]
    bad = 0
    for path in files:
        names = imports(objdump, path)
        if not names:
            print("%s: no imports found (not a PE file?)" % path)
            bad += 1
        foreign = [n for n in names if n.lower() not in SYSTEM_DLLS]
        if foreign:
            print("%s imports non-system DLLs: %s" % (path, ", ".join(foreign)))
            bad += 1
        else:
            print("%s: %s" % (path, ", ".join(names)))
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
