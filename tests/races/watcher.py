#!/usr/bin/python3
"""The attacker's half of a race, on the Linux host under Wine.

A Windows test starts it (as Z:\\usr\\bin\\python3) before the run it races.
It waits for file-system events through inotify and then acts at once:
renames a directory away and puts a host symbolic link in its place (Wine
shows that as a directory link), plants such a link, or creates a file that
a Windows helper waits for (a rename that must obey Windows' sharing rules).

    watcher.py LOG READY STEP...

Steps, in order:
    anchor DIR               relative paths below are taken from DIR, which
                             is followed through later renames of it
    wait EVENTS DIR GLOB     waits for one of EVENTS (comma-separated:
                             create, delete, open, close_nowrite, ...) on an
                             entry of DIR whose name matches GLOB; the name
                             is {1} for the first wait, {2} for the next...
    swap PATH TARGET         renames PATH to PATH.away, links TARGET at PATH
    link PATH TARGET         links TARGET at PATH
    touch PATH               creates the file PATH

READY is created once the first wait's watch is in place; the watcher gives
up when it is removed again, or after a minute. LOG gets one line per event
and step, with milliseconds since the start, and "done" or "gave up" last.
"""
import ctypes
import fnmatch
import os
import select
import struct
import sys
import time

EVENTS = {"access": 0x1, "modify": 0x2, "close_write": 0x8, "close_nowrite": 0x10, "open": 0x20,
          "moved_from": 0x40, "moved_to": 0x80, "create": 0x100, "delete": 0x200}
ARITY = {"anchor": 1, "wait": 3, "swap": 2, "link": 2, "touch": 1}
GIVE_UP_S = 60

libc = ctypes.CDLL(None, use_errno=True)
start = time.monotonic()
anchor = None
names = []


def log(out, text):
    out.write(f"{(time.monotonic() - start) * 1000:9.3f} {text}\n")
    out.flush()


def named(text):
    return text.format(*([""] + names))


def resolve(path):
    path = named(path)
    return path if os.path.isabs(path) or anchor is None else f"/proc/self/fd/{anchor}/{path}"


def watch(fd, events, directory):
    mask = 0
    for e in events.split(","):
        mask |= EVENTS[e]
    wd = libc.inotify_add_watch(fd, resolve(directory).encode(), mask)
    if wd < 0:
        raise OSError(ctypes.get_errno(), "inotify_add_watch " + directory)
    return wd, mask


def next_match(out, fd, wd, mask, pattern, ready, deadline):
    while True:
        if time.monotonic() > deadline or not os.path.exists(ready):
            return None
        if not select.select([fd], [], [], 0.1)[0]:
            continue
        data = os.read(fd, 65536)
        at = 0
        while at < len(data):
            source, event, _, size = struct.unpack_from("iIII", data, at)
            name = data[at + 16:at + 16 + size].rstrip(b"\0").decode(errors="replace")
            at += 16 + size
            kinds = ",".join(k for k, v in EVENTS.items() if event & v)
            log(out, f"event {kinds} {name}")
            if source == wd and event & mask and fnmatch.fnmatchcase(name, pattern):
                return name


def main():
    global anchor
    out = open(sys.argv[1], "w")
    ready, steps = sys.argv[2], sys.argv[3:]
    fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    deadline = time.monotonic() + GIVE_UP_S
    while steps:
        op, args, steps = steps[0], steps[1:1 + ARITY[steps[0]]], steps[1 + ARITY[steps[0]]:]
        if op == "anchor":
            anchor = os.open(resolve(args[0]), os.O_RDONLY | os.O_DIRECTORY)
        elif op == "wait":
            wd, mask = watch(fd, args[0], args[1])
            log(out, " ".join([op] + [named(a) for a in args]))
            if not os.path.exists(ready):
                open(ready, "w").close()
            name = next_match(out, fd, wd, mask, args[2], ready, deadline)
            if name is None:
                log(out, "gave up")
                return
            names.append(name)
            log(out, "matched " + name)
        elif op == "swap":
            os.rename(resolve(args[0]), resolve(args[0]) + ".away")
            os.symlink(resolve(args[1]), resolve(args[0]))
        elif op == "link":
            os.symlink(resolve(args[1]), resolve(args[0]))
        elif op == "touch":
            open(resolve(args[0]), "w").close()
        if op != "wait":
            log(out, " ".join([op] + [named(a) for a in args]))
    log(out, "done")


if __name__ == "__main__":
    main()
