#!/usr/bin/env python3
"""An application directory that keeps a run busy for a while.
Usage: make_app.py APPDIR ENTRY_FILE ENTRY_NAME DIR:COUNT...

APPDIR gets ENTRY_FILE as ENTRY_NAME and, for each DIR:COUNT, COUNT small
files DIR/0000.txt... (DIR/keep.txt alone for a COUNT of 0)."""
import os
import shutil
import sys

app, entry_file, entry_name = sys.argv[1:4]
shutil.rmtree(app, ignore_errors=True)
os.makedirs(os.path.dirname(os.path.join(app, entry_name)), exist_ok=True)
shutil.copy(entry_file, os.path.join(app, entry_name))
for part in sys.argv[4:]:
    directory, count = part.split(":")
    os.makedirs(os.path.join(app, directory))
    names = ["%04d.txt" % i for i in range(int(count))] or ["keep.txt"]
    for name in names:
        with open(os.path.join(app, directory, name), "w") as f:
            f.write("filler %s\n" % name)
