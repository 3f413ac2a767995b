#!/usr/bin/python3
"""runner_app.c (tests/runner) packed with fixed arguments and settings, run
under Wine: the arguments its C runtime and CommandLineToArgvW get (fixed
ones next to the user's, one table), its environment, and the fatal lines
of damaged .velsor\\entry files and of what only run time can overflow.
Usage: runner_entry.py VELSOR_PACK RUNNER_APP.exe WORK_DIR"""
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pack"))
from packtools import read, windows_path, wine  # noqa: E402

SETTINGS = ["ENTRY_TWICE={ENV:ENTRY_HALF}{ENV:ENTRY_HALF}", "ENTRY_PLAIN=plain value",
            "PATH={UNPACK_DIR}\\bin;{ENV:PATH}", "ENTRY_EMPTY="]
# Fixed argument: what the program gets ("<D>" the unpacked directory).
FIXED = [("{ENV:ENTRY_MODE}", "argv"), ("{ENV:ENTRY_FILE}", None), ("two words",) * 2, ('say "hi"',) * 2,
         ("back\\",) * 2, ('a\\\\"b',) * 2, ("",) * 2, ("c:\\dir\\",) * 2, ("tab\there",) * 2,
         ("{{literal} }", "{literal} }"), ("{UNPACK_DIR}\\x y\\", "<D>\\x y\\"), ("{ENV:ENTRY_PLAIN}", "plain value"),
         ("{ENV:ENTRY_LATE}", ""), ("{ENV:ENTRY_LONG}", "")]  # ENTRY_LATE is set after it
USER = [[], [""], ["two words", 'q"', "end\\", ""], ['"', "\\\\", "a b\\\\", "\u00e9\u65e5"]]
DAMAGED = "Error, the program's fixed arguments are damaged."
u16 = lambda text: text.encode("utf-16-le")  # noqa: E731
DAMAGES = [lambda b: b.replace(u16("entry 1"), u16("entry 2")), lambda b: b[:-2], lambda b: b[:-1], lambda b: b"",
           lambda b: b[:30] + b"x\0" + b[32:], lambda b: b.replace(u16("{ENV:ENTRY_M"), u16("{ENX:ENTRY_M")),
           lambda b: b.replace(u16("ENTRY_EMPTY="), u16("ENTRY_EMPTY_"))]


def run(exe, out, args, mode="argv", **env):
    os.environ.update({"ENTRY_MODE": mode, "ENTRY_FILE": windows_path(out), "ENTRY_HALF": "ab", "ENTRY_LONG": ""},
                      **env)
    if os.path.exists(out):
        os.remove(out)
    r = wine([exe] + args)
    return r.returncode, r.stdout.decode("utf-8", "replace").strip()


def check_arguments(exe, out):
    for user in USER:
        assert run(exe, out, user) == (0, "")
        for got in (part.split("\0")[:-1] for part in read(out).decode("utf-16-le").split("\1")):  # C runtime, split
            assert got[0].endswith("\\bin\\runner_app.exe"), got[0]
            fixed = [(windows_path(out) if want is None else want.replace("<D>", got[0][:-19])) for _, want in FIXED]
            assert got == [got[0], *fixed, *user], got


def main():
    pack, runner_app, work = sys.argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "app", "bin"))
    shutil.copy(runner_app, os.path.join(work, "app", "bin", "runner_app.exe"))
    exe, out = os.path.join(work, "fixed.exe"), os.path.join(work, "out.bin")
    options = sum([["--env", s] for s in SETTINGS] + [["--entry-arg", a[0]] for a in FIXED], []) + [
        "--env", "ENTRY_LATE=late"]
    subprocess.run([pack, "build", os.path.join(work, "app"), "--entry", "bin/runner_app.exe", "-o", exe,
                    "--level", "1"] + options, check=True)
    check_arguments(exe, out)

    names = ["ENTRY_PLAIN", "ENTRY_TWICE", "ENTRY_EMPTY", "ENTRY_LATE", "ENTRY_UNSET", "PATH"]
    assert run(exe, out, names, mode="env") == (0, "")
    values = read(out).decode("utf-16-le").split("\0")[-1 - len(names):-1]  # after the fixed arguments' own
    assert values[:5] == ["plain value", "abab", "", "late", "\1"], values
    assert re.match(r"^C:\\.*\\onefile_[^\\]+\\bin;C:\\windows\\system32", values[5], re.I), values[5]

    for env, line in (({"ENTRY_HALF": "x" * 16384}, "Error, an environment value for the program is too long."),
                      ({"ENTRY_LONG": "y" * 32760}, "Error, the program's command line is too long.")):
        assert run(exe, out, [], **env) == (2, line) and not os.path.exists(out), line

    unpacked = os.path.join(work, "unpacked")
    subprocess.run([pack, "extract", exe, unpacked], check=True, stdout=subprocess.DEVNULL)
    good = read(os.path.join(unpacked, ".velsor", "entry"))
    for number, damage in enumerate([lambda b: b] + DAMAGES):  # the first, undamaged, shows the rebuild runs
        with open(os.path.join(unpacked, ".velsor", "entry"), "wb") as f:
            f.write(damage(good))
        block, damaged = os.path.join(work, "damaged.blk"), os.path.join(work, "damaged.exe")
        subprocess.run([pack, "block", unpacked, "--entry", ".velsor/runner.dll", "-o", block], check=True)
        subprocess.run([pack, "link", block, "-o", damaged, "--console"], check=True)
        assert run(damaged, out, []) == ((0, "") if number == 0 else (2, DAMAGED)), number
    print("fixed arguments: %d user rows, environment, overflow, %d damaged files" % (len(USER), len(DAMAGES)))


if __name__ == "__main__":
    main()
