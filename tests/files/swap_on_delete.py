#!/usr/bin/env python3
"""The attacker of the race rows, on the host (Wine cannot make links): once
its inotify watch is set it writes READY; at the first deletion in WATCHED it
renames DIRECTORY to DIRECTORY.away, links DIRECTORY to VICTIM and writes
READY.swapped. Gives up after a minute.
Usage: swap_on_delete.py WATCHED DIRECTORY VICTIM READY"""
import ctypes
import os
import select
import sys

IN_DELETE = 0x200

watched, directory, victim, ready = sys.argv[1:5]
libc = ctypes.CDLL(None, use_errno=True)
watch = libc.inotify_init1(0)
if watch < 0 or libc.inotify_add_watch(watch, watched.encode(), IN_DELETE) < 0:
    sys.exit("swap_on_delete: cannot watch %s" % watched)
open(ready, "w").close()
if not select.select([watch], [], [], 60)[0]:
    sys.exit("swap_on_delete: nothing was deleted in %s" % watched)
os.rename(directory, directory + ".away")
os.symlink(victim, directory)
open(ready + ".swapped", "w").close()
