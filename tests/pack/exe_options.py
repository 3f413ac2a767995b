#!/usr/bin/python3
"""What --icon, --version and --console make of an executable, read back by
others: pefile for the resource tree, the version strings and the fixed
versions, wrestool for the icon, and each result also through the checks of
check_executables.py. Every combination of options gives a resource section
holding the manifest plus what the options add, and nothing else.
(The strings stay inside the Basic Multilingual Plane: pefile shows a
character outside it as the text of its escape.)
The console executable, run from a batch file by Wine's cmd, writes its
output into cmd's and leaves its exit code in %ERRORLEVEL%.
Usage: exe_options.py VELSOR_PACK APP_DIR ENTRY ICON MANIFEST OBJDUMP LAUNCHER WORK_DIR"""
import os
import shutil
import subprocess
import sys

import pefile

import check_executables
from packtools import read, windows_path, wine

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
STRINGS = {"--product": ("ProductName", "Velsor Test"), "--company": ("CompanyName", "Ünïcode & Co."),
           "--description": ("FileDescription", "A test, 日本語"), "--copyright": ("LegalCopyright", "(c) 2026")}


def resource_types(pe):
    """{type: [(id, language, data)]} of the resource tree."""
    tree = {}
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                d = lang.data.struct
                tree.setdefault(t.id, []).append((n.id, lang.id, pe.get_data(d.OffsetToData, d.Size)))
    return tree


def check_version(pe, path):
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == (0x00010002, 0x0003FFFF), "file version"
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == (0x00010002, 0x0003FFFF), "product version"
    tables = [st for fi in pe.FileInfo[0] if hasattr(fi, "StringTable") for st in fi.StringTable]
    assert [t.LangID.upper() for t in tables] == [b"040904B0"], [t.LangID for t in tables]
    name = os.path.basename(path)
    expected = {"FileVersion": "1.2.3.65535", "ProductVersion": "1.2.3.65535", "OriginalFilename": name,
                "InternalName": os.path.splitext(name)[0]}
    expected.update(STRINGS.values())
    got = {k.decode(): v.decode("utf-8") for k, v in tables[0].entries.items()}
    assert got == expected, got


def check_icon(path, icon, work):
    extracted = os.path.join(work, "extracted.ico")
    subprocess.run(["wrestool", "-x", "--type=group_icon", "--name=1", "-o", extracted, path], check=True)
    data, original = read(extracted), read(icon)
    count = int.from_bytes(original[4:6], "little")
    # wrestool pads what it writes with one zero byte per byte of the icon
    # group (6 + 14 per image); the icon file itself comes first, whole.
    assert data[:len(original)] == original, "the extracted icon differs from the input"
    assert data[len(original):] == bytes(6 + 14 * count), "unexpected bytes after the extracted icon"


def check_console_in_cmd(path, work):
    batch = os.path.join(work, "run.bat")
    with open(batch, "w", newline="\r\n") as f:
        f.write("@echo off\n\"%s\" print\necho after the program\n\"%s\" exit 300\necho status=%%ERRORLEVEL%%\n"
                % (windows_path(path), windows_path(path)))
    r = wine(["cmd", "/c", windows_path(batch)])
    out = r.stdout.decode(errors="replace").replace("\r\n", "\n")
    expected = "printf line\nputs line\niostream line\nafter the program\nstatus=300\n"
    assert out == expected, "cmd printed %r" % out


def main():
    pack, app, entry, icon, manifest, objdump, launcher, work = sys.argv[1:9]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    launchers = [(read(launcher), pefile.PE(launcher))]
    version = ["--version", "1.2.3.65535"] + [a for option, (_, text) in STRINGS.items() for a in (option, text)]
    combinations = {"plain": [], "console": ["--console"], "icon": ["--icon", icon], "version": version,
                    "all": ["--icon", icon, "--console"] + version}
    for name, options in combinations.items():
        path = os.path.join(work, name + ".exe")
        subprocess.run([pack, "build", app, "--entry", entry, "-o", path, "--level", "1"] + options, check=True)
        pe = pefile.PE(path)
        problems = check_executables.check(objdump, path, launchers)
        assert problems == [], "%s: %s" % (name, problems)
        tree = resource_types(pe)
        wanted = {RT_MANIFEST} | ({RT_ICON, RT_GROUP_ICON} if "--icon" in options else set()) | \
                 ({RT_VERSION} if "--version" in options else set())
        assert set(tree) == wanted, "%s holds resource types %s" % (name, sorted(tree))
        assert [(i, lang) for i, lang, _ in tree[RT_MANIFEST]] == [(1, 1033)]
        assert tree[RT_MANIFEST][0][2] == read(manifest), "%s: the manifest changed" % name
        subsystem = 3 if "--console" in options else 2
        assert pe.OPTIONAL_HEADER.Subsystem == subsystem, "%s: subsystem %d" % (name, pe.OPTIONAL_HEADER.Subsystem)
        if "--version" in options:
            check_version(pe, path)
        if "--icon" in options:
            check_icon(path, icon, work)
        if name == "console":
            check_console_in_cmd(path, work)
        print("%s: resource types %s, subsystem %d" % (name, sorted(tree), subsystem))


if __name__ == "__main__":
    main()
