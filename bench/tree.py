#!/usr/bin/env python3
"""A deterministic application tree shaped like a CMake 4.x installation.

    tree.py PROGRAM_EXE DLL OUT_DIR

Lays out OUT_DIR (removed first) as 3,854 files, about 7 MB:
  - bin/prog.exe, a copy of PROGRAM_EXE (the entry),
  - 8 copies of DLL under other names, in bin/ and three folders below it
    (the shape of a GUI toolkit's libraries and plug-ins),
  - share/cmake-4.1/Modules/... (module scripts, five levels deep at most),
    share/cmake-4.1/Help/... (reStructuredText pages), Templates, and the
    small folders beside them (aclocal, bash-completion, vim, emacs),
  - doc/cmake-4.1/... (licence texts of bundled libraries),
mostly text of a few hundred bytes to a few KB, a few files of tens of KB.
Names and contents come from a fixed seed and fixed word lists, so the tree
is byte for byte the same on every machine. Prints a one-line summary.
"""
import hashlib
import math
import os
import random
import shutil
import sys

SEED = 20261210
TOTAL_FILES = 3854
VERSION = "cmake-4.1"

WORDS = ("archive", "binary", "build", "cache", "check", "compiler", "config", "cross", "debug", "depend",
         "detect", "directory", "export", "external", "feature", "fetch", "file", "flags", "framework",
         "generate", "header", "import", "include", "install", "interface", "language", "library", "link",
         "module", "object", "option", "output", "package", "path", "platform", "policy", "prefix",
         "project", "property", "release", "runtime", "script", "shared", "source", "standard", "static",
         "symbol", "target", "test", "tool", "toolchain", "variable", "version", "warning")
LANGS = ("C", "CXX", "CUDA", "Fortran", "HIP", "ISPC", "OBJC", "OBJCXX", "Swift", "ASM", "ASM_NASM", "RC")
VENDORS = ("GNU", "Clang", "MSVC", "Intel", "IntelLLVM", "NVIDIA", "ARMClang", "TI", "IAR", "XL", "PGI",
           "Cray", "Fujitsu", "LCC", "Tasking", "OrangeC", "Embarcadero", "Watcom", "SunPro", "HP")
SYSTEMS = ("Windows", "Linux", "Darwin", "Android", "FreeBSD", "NetBSD", "OpenBSD", "SunOS", "AIX",
           "Haiku", "QNX", "Emscripten", "iOS", "tvOS", "visionOS", "watchOS", "CYGWIN", "MSYS", "GNU",
           "DragonFly", "BlueGeneQ", "CrayLinuxEnvironment", "Generic", "WindowsStore", "WindowsPhone")

# (folder, files, kind, smallest, largest): sizes are spread evenly on a log
# scale between the two; "cmake" and "rst" are text, "bin" is not.
LAYOUT = (
    ("share/%s/Modules" % VERSION, 700, "cmake", 300, 9000),
    ("share/%s/Modules" % VERSION, 60, "in", 200, 3000),
    ("share/%s/Modules/Platform" % VERSION, 420, "platform", 200, 5000),
    ("share/%s/Modules/Compiler" % VERSION, 380, "compiler", 200, 4000),
    ("share/%s/Modules/Internal" % VERSION, 45, "cmake", 400, 9000),
    ("share/%s/Modules/Internal/CPack" % VERSION, 30, "in", 300, 6000),
    ("share/%s/Modules/FindPython" % VERSION, 6, "cmake", 2000, 40000),
    ("share/%s/Modules/FindMPI" % VERSION, 4, "in", 300, 2000),
    ("share/%s/Modules/UseJava" % VERSION, 5, "in", 300, 3000),
    ("share/%s/Modules/CheckIPOSupported" % VERSION, 3, "cmake", 200, 800),
    ("share/%s/Modules/IntelVSImplicitPath" % VERSION, 3, "cmake", 200, 800),
    ("share/%s/Modules/Platform/Android" % VERSION, 12, "platform", 300, 4000),
    ("share/%s/Modules/Compiler/CrayPrgEnv" % VERSION, 8, "compiler", 300, 2000),
    ("share/%s/Templates" % VERSION, 24, "in", 200, 3000),
    ("share/%s/Templates/Windows" % VERSION, 8, "bin", 300, 9000),
    ("share/%s/Help/command" % VERSION, 140, "rst", 200, 6000),
    ("share/%s/Help/prop_tgt" % VERSION, 390, "rst", 150, 2500),
    ("share/%s/Help/prop_sf" % VERSION, 50, "rst", 150, 2000),
    ("share/%s/Help/prop_dir" % VERSION, 50, "rst", 150, 2000),
    ("share/%s/Help/prop_gbl" % VERSION, 50, "rst", 150, 2000),
    ("share/%s/Help/prop_test" % VERSION, 40, "rst", 150, 2000),
    ("share/%s/Help/prop_inst" % VERSION, 20, "rst", 150, 1500),
    ("share/%s/Help/prop_cache" % VERSION, 10, "rst", 150, 1000),
    ("share/%s/Help/envvar" % VERSION, 80, "rst", 150, 1500),
    ("share/%s/Help/policy" % VERSION, 200, "rst", 600, 4000),
    ("share/%s/Help/module" % VERSION, 400, "rst", 60, 200),
    ("share/%s/Help/manual" % VERSION, 60, "rst", 2000, 60000),
    ("share/%s/Help/manual/presets" % VERSION, 10, "rst", 300, 4000),
    ("share/%s/Help/generator" % VERSION, 40, "rst", 300, 5000),
    ("share/%s/Help/cpack_gen" % VERSION, 20, "rst", 1000, 12000),
    ("share/%s/Help/release" % VERSION, 60, "rst", 1000, 20000),
    ("share/%s/Help/release/dev" % VERSION, 5, "rst", 200, 800),
    ("share/%s/Help/guide/tutorial" % VERSION, 40, "rst", 1000, 12000),
    ("share/%s/Help/guide/tutorial/Complete" % VERSION, 20, "cmake", 200, 2000),
    ("share/%s/Help/guide/importing-exporting" % VERSION, 12, "rst", 300, 4000),
    ("share/%s/include" % VERSION, 1, "in", 8000, 12000),
    ("share/%s/editors/vim/syntax" % VERSION, 2, "in", 20000, 60000),
    ("share/%s/editors/vim/indent" % VERSION, 1, "in", 2000, 4000),
    ("share/%s/editors/emacs" % VERSION, 1, "in", 10000, 20000),
    ("share/aclocal", 1, "in", 1000, 2000),
    ("share/bash-completion/completions", 4, "in", 2000, 8000),
    ("share/emacs/site-lisp", 1, "in", 10000, 20000),
    ("share/vim/vimfiles/syntax", 1, "in", 20000, 60000),
    ("share/vim/vimfiles/indent", 1, "in", 2000, 4000),
    ("share/vim/vimfiles/ftdetect", 1, "in", 100, 200),
    ("doc/%s" % VERSION, 2, "text", 2000, 4000),
    ("doc/%s/licenses" % VERSION, 36, "text", 1000, 12000),
    # Help/variable takes what is left to reach TOTAL_FILES.
    ("share/%s/Help/variable" % VERSION, None, "rst", 150, 2500),
)
DLLS = ("bin/toolkit_core.dll", "bin/toolkit_gui.dll", "bin/toolkit_widgets.dll", "bin/toolkit_network.dll",
        "bin/platforms/toolkit_windows.dll", "bin/styles/toolkit_modern.dll",
        "bin/imageformats/toolkit_ico.dll", "bin/imageformats/toolkit_jpeg.dll")
EXTENSIONS = {"cmake": ".cmake", "platform": ".cmake", "compiler": ".cmake", "in": ".in", "rst": ".rst",
              "text": ".txt", "bin": ".png"}


def word(rng):
    return rng.choice(WORDS)


def camel(rng, n):
    return "".join(word(rng).capitalize() for _ in range(n))


def file_name(rng, kind):
    """A name in the style of the folder: FindFooBar, Compiler-GNU-CXX, ..."""
    if kind == "platform":
        return "%s-%s-%s" % (rng.choice(SYSTEMS), rng.choice(VENDORS), rng.choice(LANGS))
    if kind == "compiler":
        return "%s-%s%s" % (rng.choice(VENDORS), rng.choice(LANGS), rng.choice(("", "-DetermineCompiler",
                                                                               "-FindBinUtils", "-Initialize")))
    if kind == "rst":
        return "CMAKE_%s_%s" % (word(rng).upper(), word(rng).upper())
    if kind == "text":
        return "Copyright-%s" % word(rng)
    prefix = rng.choice(("Find", "Check", "CMake", "Use", "CPack", "Fetch", ""))
    return prefix + camel(rng, rng.randint(1, 3))


def cmake_text(rng, size):
    lines, total = ["# Distributed under the OSI-approved BSD 3-Clause License.\n"], 0
    while total < size:
        var = "CMAKE_%s_%s" % (rng.choice(LANGS), word(rng).upper())
        line = rng.choice((
            'set(%s "${%s} -f%s-%s")\n' % (var, var, word(rng), word(rng)),
            "if(%s STREQUAL \"%s\")\n" % (var, rng.choice(VENDORS)),
            "endif()\n",
            "  list(APPEND _%s_%s %s)\n" % (word(rng), word(rng), var),
            "function(_%s_%s %s)\n" % (word(rng), word(rng), word(rng)),
            "endfunction()\n",
            "# %s the %s %s for the %s.\n" % (word(rng).capitalize(), word(rng), word(rng), word(rng)),
        ))
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()[:size]


def rst_text(rng, name, size):
    lines = [name + "\n", "-" * len(name) + "\n", "\n"]
    total = sum(map(len, lines))
    while total < size:
        sentence = " ".join(word(rng) for _ in range(rng.randint(6, 14))).capitalize()
        line = rng.choice(("%s.\n", "  %s.\n", "\n%s::\n", "See :variable:`CMAKE_%s`.\n" % word(rng).upper()))
        line = line.replace("%s", sentence)
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()[:size]


def content(rng, kind, name, size):
    if kind == "bin":
        return rng.getrandbits(8 * size).to_bytes(size, "little")
    if kind == "rst" or kind == "text":
        return rst_text(rng, name, size)
    return cmake_text(rng, size)


def plan(rng):
    """(relative path, kind, size) for every generated file, in a fixed order."""
    fixed = sum(n for _, n, *_ in LAYOUT if n is not None)
    files, seen = [], set()
    for folder, count, kind, low, high in LAYOUT:
        if count is None:
            count = TOTAL_FILES - 1 - len(DLLS) - fixed
        for _ in range(count):
            base, ext = file_name(rng, kind), EXTENSIONS[kind]
            if kind == "in":
                ext = rng.choice((".cmake.in", ".c.in", ".h.in", ".cxx", ".c", ".txt", ".in"))
            name, n = "%s/%s%s" % (folder, base, ext), 1
            while name.lower() in seen:   # names must be unique, as on a Windows file system
                name, n = "%s/%s_%d%s" % (folder, base, n, ext), n + 1
            seen.add(name.lower())
            size = int(math.exp(rng.uniform(math.log(low), math.log(high))))
            files.append((name, kind, size))
    return files


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: tree.py PROGRAM_EXE DLL OUT_DIR")
    program, dll, out = sys.argv[1:]
    shutil.rmtree(out, ignore_errors=True)
    rng = random.Random(SEED)
    digest, total, count = hashlib.sha256(), 0, 0
    copies = [("bin/prog.exe", program)] + [(name, dll) for name in DLLS]
    generated = plan(rng)
    for name, source in copies:
        path = os.path.join(out, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        shutil.copyfile(source, path)
        total, count = total + os.path.getsize(path), count + 1
    for name, kind, size in generated:
        data = content(rng, kind, os.path.basename(name).split(".")[0], size)
        path = os.path.join(out, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        digest.update(name.encode() + b"\0" + data)
        total, count = total + len(data), count + 1
    depth = max(name.count("/") for name, *_ in generated)
    longest = max(len(name) for name, *_ in generated)
    print("tree: %d files, %d bytes, %d directory levels at most, names up to %d characters, generated part sha256 %s"
          % (count, total, depth, longest, digest.hexdigest()[:16]))


if __name__ == "__main__":
    main()
