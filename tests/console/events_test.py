#!/usr/bin/python3
"""Console events in a running packed parent, under Wine on a virtual X
display (a Wine server of its own, tests/support/xsession.py).

1. The real path: the packed program runs in a console window of its own
   (cmd.exe started by `start`, as from a shortcut), its child ignores
   Ctrl+C, and a user types Ctrl+C into the window (xdotool). Only the
   parent's console handler can then end the child: after about 5 s it
   terminates it and removes the target directory.
   Closing the window is the other real path, but Wine's console delivers
   no CTRL_CLOSE_EVENT: when its window goes, Wine ends every process of
   the console at once, as TerminateProcess would (see events_test.cpp
   for how close, logoff and shutdown are delivered instead).
2. events_test.exe: every event value, delivered to the real handler in the
   real parent on a thread of its own.
Usage: events_test.py SUPPORT_DIR EVENTS_APP EVENTS_TEST WORK_DIR"""
import os
import shutil
import sys
import time

sys.path.insert(0, sys.argv[1])
import xsession  # noqa: E402

CONSOLE_CLASS = "conhost.exe"


def ctrl_c_typed_into_the_window(x, app, work):
    ready, marker = os.path.join(work, "ready"), os.path.join(work, "marker")
    run = x.start(["wine", "start", "/wait", "cmd", "/c", xsession.windows_path(app), "ignore_ctrl",
                   xsession.windows_path(ready), xsession.windows_path(marker)])
    assert xsession.wait_for(lambda: os.path.exists(ready), 60), "the application did not start"
    # The target directory, from where the application says it was unpacked.
    unpacked = dict(line.split("=", 1) for line in open(ready).read().splitlines())["dir"]
    directory = os.path.join(os.environ["WINEPREFIX"], "drive_c", *unpacked.split("\\")[1:])
    assert os.path.isdir(directory), directory
    windows = x.wait_for_windows(["--class", CONSOLE_CLASS], 10)
    assert len(windows) == 1, "expected one console window, found %s: %s" % (windows, x.visible_windows())
    x.xdotool("windowfocus", "--sync", windows[0])
    typed = time.monotonic()
    x.xdotool("key", "ctrl+c")
    assert xsession.wait_for(lambda: not os.path.exists(directory), 20), "the directory is still there"
    gone = time.monotonic() - typed
    run.wait(timeout=30)
    assert 4.5 < gone < 9, "the directory went %.1f s after Ctrl+C, not after the 5 s grace" % gone
    assert not os.path.exists(marker + ".detach") and not os.path.exists(marker), "the child was not terminated"
    print("Ctrl+C typed into the console window: child terminated and directory gone after %.1f s" % gone)


def main():
    app, events_test, work = sys.argv[2:5]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    with xsession.session() as x:
        ctrl_c_typed_into_the_window(x, app, work)
        r = x.run(["wine", events_test])
        print(r.stdout)
        assert r.returncode == 0, "events_test.exe failed"


if __name__ == "__main__":
    main()
