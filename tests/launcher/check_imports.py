#!/usr/bin/env python3
"""Fails unless every given PE file imports only Windows system DLLs, so a
packed executable runs alone, with no runtime DLLs beside it. Each
--not-at-start DLL must not be in the import table either: the loader loads
every DLL named there with the file (a delay-loaded DLL, loaded on its
first call, is not in it).
Usage: check_imports.py OBJDUMP [--not-at-start DLL]... FILE..."""
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "shell32.dll", "user32.dll", "advapi32.dll", "ntdll.dll"}


def imports(objdump, path):
    text = subprocess.run([objdump, "-p", path], stdout=subprocess.PIPE, check=True, text=True).stdout
    return re.findall(r"DLL Name: (\S+)", text)


def main():
    objdump, files = sys.argv[1], sys.argv[2:]
    late = set()
    while files[:1] == ["--not-at-start"]:
        late.add(files[1].lower())
        files = files[2:]
    bad = 0
    for path in files:
        names = imports(objdump, path)
        if not names:
            print("%s: no imports found (not a PE file?)" % path)
            bad += 1
        foreign = [n for n in names if n.lower() not in SYSTEM_DLLS]
        early = [n for n in names if n.lower() in late]
        if early:
            print("%s loads at start: %s" % (path, ", ".join(early)))
            bad += 1
        elif foreign:
            print("%s imports non-system DLLs: %s" % (path, ", ".join(foreign)))
            bad += 1
        else:
            print("%s: %s" % (path, ", ".join(names)))
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
