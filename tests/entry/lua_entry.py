#!/usr/bin/python3
"""A plain console lua.exe with its script and a module, packed with the
script as its fixed argument and LUA_PATH pointing into the unpacked
directory, run under Wine: by the README's command (the value replaces the
user's LUA_PATH), and by velsor_add_executable with --cache and a LUA_PATH
that keeps the user's after its own ({ENV:LUA_PATH}).
Usage: lua_entry.py VELSOR_PACK APP_DIR CACHED.exe WORK_DIR"""
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pack"))
from packtools import windows_path, wine  # noqa: E402


def main():
    pack, app, cached, work = sys.argv[1:5]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "user"))
    with open(os.path.join(work, "user", "extra.lua"), "w") as f:
        f.write("return 'from the user'\n")
    os.environ["LUA_PATH"] = windows_path(os.path.join(work, "user")) + "\\?.lua"
    wine(["cmd", "/c", "rmdir", "/s", "/q", "%TEMP%\\velsor_entry_lua"])
    tool = os.path.join(work, "tool.exe")
    subprocess.run([pack, "build", app, "--entry", "lua.exe", "--entry-arg", "{UNPACK_DIR}\\main.lua",
                    "--env", "LUA_PATH={UNPACK_DIR}\\lua\\?.lua", "-o", tool, "--level", "1"], check=True)
    cache = r"\\velsor_entry_lua\\[0-9a-f]{16}/lua/greet\.lua"
    for exe, extra, module in ((tool, "none", r"\\onefile_[^\\]+\\lua\\greet\.lua"), (cached, "from the user", cache),
                               (cached, "from the user", cache)):  # the cache's first and a later start
        r = wine([exe, "a", "b c"])
        out = r.stdout.decode().replace("\r\n", "\n").split("\n")
        assert r.returncode == 0 and out[:2] == ["hello a,b c", "extra=" + extra], (r.returncode, out, r.stderr)
        assert re.search("^greet=C:.*" + module + "$", out[2]), out[2]
    wine(["cmd", "/c", "rmdir", "/s", "/q", "%TEMP%\\velsor_entry_lua"])
    print("lua.exe with its script: README's command and CMake's ENTRY_ARGS/ENV with --cache")


if __name__ == "__main__":
    main()
