#!/usr/bin/python3
"""runner_app.c (tests/runner) packed with fixed arguments and environment
settings, run under Wine: the arguments its C runtime and CommandLineToArgvW
get (fixed ones next to the user's, one table), its environment, and the
fatal lines of a damaged .velsor\\entry and of what only run time can
overflow. Usage: runner_entry.py VELSOR_PACK RUNNER_APP.exe WORK_DIR"""
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pack"))
from packtools import read, windows_path, wine  # noqa: E402

# In packing order; ENTRY_LATE is set after the argument that reads it.
OPTIONS = [("--env", "ENTRY_TWICE={ENV:ENTRY_HALF}{ENV:ENTRY_HALF}"), ("--env", "ENTRY_PLAIN=plain value"),
           ("--env", "PATH={UNPACK_DIR}\\bin;{ENV:PATH}"), ("--env", "ENTRY_EMPTY=")] + [
    ("--entry-arg", a) for a in ["{ENV:ENTRY_MODE}", "{ENV:ENTRY_FILE}", "two words", 'say "hi"', "back\\",
                                 'a\\\\"b', "", "c:\\dir\\", "tab\there", "{{literal} }", "{UNPACK_DIR}\\x y\\",
                                 "{ENV:ENTRY_PLAIN}", "{ENV:ENTRY_LATE}", "{ENV:ENTRY_LONG}"]] + [
    ("--env", "ENTRY_LATE=late")]
USER = [[], [""], ["two words", 'q"', "end\\", ""], ['"', "\\\\", "a b\\\\", "\u00e9\u65e5"]]
FATAL = {"damaged": "Error, the program's fixed arguments are damaged.",
         "line": "Error, the program's command line is too long.",
         "value": "Error, an environment value for the program is too long."}


def expected_fixed(unpack_dir):
    return ["two words", 'say "hi"', "back\\", 'a\\\\"b', "", "c:\\dir\\", "tab\there", "{literal} }",
            unpack_dir + "\\x y\\", "plain value", "", ""]


def run(exe, mode, out, args, **env):
    os.environ.update({"ENTRY_MODE": mode, "ENTRY_FILE": windows_path(out), "ENTRY_HALF": "ab", "ENTRY_LONG": ""},
                      **env)
    if os.path.exists(out):
        os.remove(out)
    r = wine([exe] + args)
    return r.returncode, r.stdout.decode("utf-8", "replace").strip()


def lists(out):
    """What runner_app wrote, as lists of strings split at its 1 units."""
    return [part.split("\0")[:-1] for part in read(out).decode("utf-16-le").split("\1")]


def check_arguments(exe, work):
    out = os.path.join(work, "args.bin")
    for user in USER:
        status, text = run(exe, "argv", out, user)
        assert status == 0, "ended with %d: %s" % (status, text)
        runtime, split = lists(out)
        program = runtime[0]
        assert program.endswith("\\bin\\runner_app.exe"), program
        unpack_dir = program[:-len("\\bin\\runner_app.exe")]
        expected = [program, "argv", windows_path(out)] + expected_fixed(unpack_dir) + user
        assert runtime == expected, "the C runtime got %r, not %r" % (runtime, expected)
        assert split == expected, "CommandLineToArgvW got %r, not %r" % (split, expected)


def check_environment(exe, work):
    out = os.path.join(work, "env.bin")
    names = ["ENTRY_PLAIN", "ENTRY_TWICE", "ENTRY_EMPTY", "ENTRY_LATE", "ENTRY_UNSET", "PATH"]
    status, text = run(exe, "env", out, names)
    assert status == 0, "ended with %d: %s" % (status, text)
    values = read(out).decode("utf-16-le").split("\0")[-1 - len(names):-1]  # after the fixed arguments' own
    assert values[:5] == ["plain value", "abab", "", "late", "\1"], values
    assert re.match(r"^C:\\.*\\onefile_[^\\]+\\bin;C:\\windows\\system32", values[5], re.I), values[5]


def check_overflow(exe, work):
    out = os.path.join(work, "over.bin")
    for what, env in (("value", {"ENTRY_HALF": "x" * 16384}), ("line", {"ENTRY_LONG": "y" * 32760})):
        status, text = run(exe, "argv", out, [], **env)
        assert (status, text) == (2, FATAL[what]), "%s: %d %r" % (what, status, text)
        assert not os.path.exists(out), "the program ran"


DAMAGES = {
    "none (the control)": lambda b: b,
    "another version": lambda b: b.replace("entry 1".encode("utf-16-le"), "entry 2".encode("utf-16-le")),
    "the last item cut": lambda b: b[:-2],
    "an odd length": lambda b: b[:-1],
    "empty": lambda b: b"",
    "an unknown tag": lambda b: b[:30] + b"x\0" + b[32:],
    "an unknown placeholder": lambda b: b.replace("{ENV:ENTRY_MODE".encode("utf-16-le"), "{ENX:ENTRY_MODE".encode(
        "utf-16-le")),
    "a setting without '='": lambda b: b.replace("ENTRY_EMPTY=".encode("utf-16-le"), "ENTRY_EMPTY_".encode(
        "utf-16-le")),
}


def check_damaged(pack, exe, work):
    unpacked = os.path.join(work, "unpacked")
    subprocess.run([pack, "extract", exe, unpacked], check=True, stdout=subprocess.DEVNULL)
    good = read(os.path.join(unpacked, ".velsor", "entry"))
    for what, damage in DAMAGES.items():
        with open(os.path.join(unpacked, ".velsor", "entry"), "wb") as f:
            f.write(damage(good))
        block, damaged = os.path.join(work, "damaged.blk"), os.path.join(work, "damaged.exe")
        subprocess.run([pack, "block", unpacked, "--entry", ".velsor/runner.dll", "-o", block, "--level", "1"],
                       check=True)
        subprocess.run([pack, "link", block, "-o", damaged, "--console"], check=True)
        status, text = run(damaged, "argv", os.path.join(work, "d.bin"), [])
        want = (0, "") if what.startswith("none") else (2, FATAL["damaged"])
        assert (status, text) == want, "%s: %d %r" % (what, status, text)


def main():
    pack, runner_app, work = sys.argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "app", "bin"))
    shutil.copy(runner_app, os.path.join(work, "app", "bin", "runner_app.exe"))
    exe = os.path.join(work, "fixed.exe")
    options = [word for option in OPTIONS for word in option]
    subprocess.run([pack, "build", os.path.join(work, "app"), "--entry", "bin/runner_app.exe", "-o", exe,
                    "--level", "1"] + options, check=True)
    check_arguments(exe, work)
    check_environment(exe, work)
    check_overflow(exe, work)
    check_damaged(pack, exe, work)
    print("fixed arguments: %d user rows, environment, overflow and %d damaged files checked"
          % (len(USER), len(DAMAGES) - 1))


if __name__ == "__main__":
    main()
