"""The default executable is untouched by the unpack modes.

The hashes below were taken with this toolchain (Debian 12's mingw-w64) from
the launcher and from executables packed by velsor-pack before --cache and
--unpack-dir existed. Packing without those options must still give exactly
these bytes, and the default launcher must still be exactly this file: its
mode code is compiled into a separate launcher variant only. The inputs are
generated here, so the packed bytes depend on nothing the build makes but the
launcher and the packer (the example DLLs carry a link time stamp)."""
import hashlib
import os
import shutil
import subprocess
import sys

LAUNCHER = "a1879e1721f0da9620a887a910ec87ade4c63201af7e0ccf2f8fffe1a5629f31"

EXPECTED = {
    "build": "99ffa24ecff19bb9bfc47525d77afb1abfeb85ee2a30c8bf5eb820fb0c93824e",
    "console": "e77e42f8b171fb1f55973dfcbcaa70227153a0d9e45a32266b395fa5a9d7096a",
    "link": "99ffa24ecff19bb9bfc47525d77afb1abfeb85ee2a30c8bf5eb820fb0c93824e",
}


def tree(root):
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "data", "deep"))
    files = {"app.dll": 3000, "data/a.txt": 61, "data/deep/b.bin": 70000, "empty": 0}
    for name, size in files.items():
        with open(os.path.join(root, name), "wb") as f:
            f.write(bytes((i * 7 + len(name)) % 251 for i in range(size)))


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def main():
    pack, launcher, work = sys.argv[1:4]
    app = os.path.join(work, "app")
    tree(app)
    block = os.path.join(work, "app.blk")
    runs = {
        "build": ["build", app, "--entry", "app.dll", "--no-entry-check", "--level", "3"],
        "console": ["build", app, "--entry", "app.dll", "--no-entry-check", "--level", "3", "--console",
                    "--version", "1.2.3.4", "--product", "Untouched"],
        "link": ["link", block],
    }
    subprocess.run([pack, "block", app, "--entry", "app.dll", "--level", "3", "-o", block], check=True)
    got = {"launcher": sha256(launcher)}
    for name, args in runs.items():
        out = os.path.join(work, name + ".exe")
        subprocess.run([pack] + args + ["-o", out], check=True)
        got[name] = sha256(out)
    for name, value in got.items():
        print(name, value)
    want = dict(EXPECTED, launcher=LAUNCHER)
    bad = [n for n in want if got[n] != want[n]]
    if bad:
        sys.exit("changed: " + ", ".join(bad))

if __name__ == "__main__":
    main()
