#!/usr/bin/env python3
"""Deterministic, realistic application trees for the benchmarks.

    workload.py APP_DLL OUT_DIR [--tiny | --small N]

Lays out OUT_DIR/app: APP_DLL first (the application DLL), then about 950
files, about 40 MB, names up to four directories deep and at most 47
characters, with one file near 10 MB:
  - Windows DLLs shipped by Debian's wine package (real PE code and data),
  - Python source files from Debian's python3.11 (real text),
  - generated data (JSON-like records, CSV tables, random binary blobs).
Files are chosen from sorted lists with a fixed seed, so on the same Debian
release the tree is byte for byte the same; the generated part is the same
everywhere. Writes OUT_DIR/manifest.txt ("size<TAB>name" per file, in
packing order, for the baseline writer) and prints a summary.
With --tiny, the tree is the application DLL alone (start-up cost). With
--small N, it is the application DLL and N small generated files (200 to
2,000 bytes of records and tables) in 20 folders of 5 subfolders each, for
the per-file cost of unpacking and removing.
"""
import hashlib
import os
import random
import shutil
import sys

WINE_DLLS = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
PYTHON_LIB = "/usr/lib/python3.11"
SEED = 20261208
TARGET_FILES = 950
BIG_FILE = "windowscodecs.dll"   # 9.5 MB in Debian 12's wine
DLL_BUDGET = 18_000_000          # besides the big one
TEXT_BUDGET = 10_000_000
NAME_LIMIT = 47


def wine_dlls():
    if not os.path.isdir(WINE_DLLS):
        return []
    names = sorted(n for n in os.listdir(WINE_DLLS) if n.endswith((".dll", ".exe", ".drv", ".sys")))
    return [os.path.join(WINE_DLLS, n) for n in names]


def python_sources():
    out = []
    for root, dirs, files in os.walk(PYTHON_LIB):
        dirs.sort()
        if "test" in root.split(os.sep) or "site-packages" in root or "dist-packages" in root:
            continue
        for f in sorted(files):
            if f.endswith(".py"):
                out.append(os.path.join(root, f))
    return out


def record_text(rng, n):
    """JSON-like records: repetitive keys, varying values."""
    keys = ["id", "name", "kind", "size", "offset", "flags", "checksum", "parent", "created", "owner"]
    lines = []
    total = 0
    while total < n:
        fields = ", ".join('"%s": %s' % (k, rng.choice(['"%x"' % rng.getrandbits(32), str(rng.randint(0, 10**6)),
                                                        "true", "null", '"item-%d"' % rng.randint(0, 999)]))
                           for k in rng.sample(keys, 6))
        line = "{%s},\n" % fields
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()[:n]


def csv_text(rng, n):
    rows = ["time,sensor,value,status\n"]
    total = len(rows[0])
    t = 1700000000
    while total < n:
        t += rng.randint(1, 60)
        row = "%d,s%02d,%.4f,%s\n" % (t, rng.randint(0, 40), rng.gauss(20, 5), rng.choice(["ok", "ok", "ok", "warn"]))
        rows.append(row)
        total += len(row)
    return "".join(rows).encode()[:n]


def short_name(path_parts):
    name = "/".join(path_parts)
    if len(name) <= NAME_LIMIT:
        return name
    base, ext = os.path.splitext(path_parts[-1])
    keep = NAME_LIMIT - len("/".join(path_parts[:-1])) - len(ext) - 1
    return "/".join(path_parts[:-1] + [base[:max(keep, 1)] + ext])


def plan(app_dll):
    rng = random.Random(SEED)
    files = [("app.dll", ("copy", app_dll))]
    dlls = wine_dlls()
    big = [p for p in dlls if os.path.basename(p) == BIG_FILE]
    if big:
        files.append(("lib/codecs/" + BIG_FILE, ("copy", big[0])))
    else:
        files.append(("lib/codecs/" + BIG_FILE, ("random", 9_897_472)))
    small = [p for p in dlls if os.path.getsize(p) < 250_000 and os.path.basename(p) != BIG_FILE]
    rng.shuffle(small)
    budget = DLL_BUDGET
    groups = ["bin", "lib/system", "lib/system/drivers/x64", "plugins/media/codecs", "plugins/net"]
    for p in small:
        size = os.path.getsize(p)
        if size > budget or len(files) >= 420:
            continue
        budget -= size
        files.append((short_name(rng.choice(groups).split("/") + [os.path.basename(p)]), ("copy", p)))
    sources = python_sources()
    rng.shuffle(sources)
    budget = TEXT_BUDGET
    for p in sources:
        size = os.path.getsize(p)
        if size > budget or len(files) >= 850:
            continue
        budget -= size
        rel = os.path.relpath(p, PYTHON_LIB).split(os.sep)[-3:]
        files.append((short_name(["python"] + rel), ("copy", p)))
    i = 0
    while len(files) < TARGET_FILES:
        kind = ("records", "csv", "random")[i % 3]
        size = rng.randint(3_000, 20_000)
        folder = ("data/records", "data/tables/daily", "data/blobs")[i % 3]
        ext = (".json", ".csv", ".bin")[i % 3]
        files.append(("%s/item%04d%s" % (folder, i, ext), (kind, size)))
        i += 1
    # Names must be unique: later duplicates get a suffix.
    seen = set()
    unique = []
    for name, source in files:
        base, ext = os.path.splitext(name)
        candidate, n = name, 1
        while candidate.lower() in seen:
            candidate = "%s_%d%s" % (base, n, ext)
            n += 1
        seen.add(candidate.lower())
        unique.append((candidate, source))
    return unique


def small_plan(app_dll, count):
    rng = random.Random(SEED)
    files = [("app.dll", ("copy", app_dll))]
    for i in range(count):
        folder = "pkg%02d/mod%d" % (i % 20, (i // 20) % 5)
        kind, ext = (("records", ".json"), ("csv", ".csv"))[i % 2]
        files.append(("%s/file%04d%s" % (folder, i, ext), (kind, rng.randint(200, 2_000))))
    return files


def content(source, rng):
    kind, arg = source
    if kind == "copy":
        with open(arg, "rb") as f:
            return f.read()
    if kind == "records":
        return record_text(rng, arg)
    if kind == "csv":
        return csv_text(rng, arg)
    return rng.randbytes(arg)


def main():
    app_dll, out = sys.argv[1], sys.argv[2]
    options = sys.argv[3:]
    tiny = "--tiny" in options
    small = int(options[options.index("--small") + 1]) if "--small" in options else 0
    app = os.path.join(out, "app")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(app)
    if tiny:
        files = [("app.dll", ("copy", app_dll))]
    elif small:
        files = small_plan(app_dll, small)
    else:
        files = plan(app_dll)
    rng = random.Random(SEED + 1)
    digest = hashlib.sha256()
    total = 0
    with open(os.path.join(out, "manifest.txt"), "w") as manifest:
        for name, source in files:
            data = content(source, rng)
            path = os.path.join(app, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            manifest.write("%d\t%s\n" % (len(data), name.replace("/", "\\")))
            if name != "app.dll":
                digest.update(name.encode() + b"\0" + data)
            total += len(data)
    depth = max(name.count("/") for name, _ in files)
    longest = max(len(name) for name, _ in files)
    print("workload: %d files, %d bytes, %d directory levels at most, names up to %d characters, sha256 %s"
          % (len(files), total, depth, longest, digest.hexdigest()[:16]))


if __name__ == "__main__":
    main()
