#!/usr/bin/python3
"""The GUI example under Wine on a virtual X display: the packed gui.exe
opens its window with the expected title and no console window, a user
closes it (Alt+F4 through xdotool), and its 32-bit exit code comes back
whole, read by console_host with GetExitCodeProcess.
With SCREENSHOT.png it also saves a picture of the window (the one in the
README is made this way). Wine is told to draw window frames itself, since
no window manager runs on the virtual display: the caption then shows the
title and the executable's icon. VELSOR_GUI_TITLE names another program's
window (one that takes the same --exit-code argument).
Usage: gui_test.py SUPPORT_DIR CONSOLE_HOST GUI_EXE WORK_DIR [SCREENSHOT.png]"""
import os
import shutil
import sys
import time

sys.path.insert(0, sys.argv[1])
import xsession  # noqa: E402

TITLE = os.environ.get("VELSOR_GUI_TITLE", "velsor GUI example")  # another window program's title
EXIT_CODE = 0x89ABCDEF


def main():
    console_host, gui_exe, work = sys.argv[2:5]
    screenshot = sys.argv[5] if len(sys.argv) > 5 else None
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    result = os.path.join(work, "result.txt")
    with xsession.session() as x:
        for value in ("Decorated", "Managed"):
            x.run(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", value, "/t", "REG_SZ", "/d", "N",
                   "/f"])
        host = x.start(["wine", console_host, xsession.windows_path(result), "none", xsession.windows_path(gui_exe),
                        "--exit-code", "0x%X" % EXIT_CODE])
        windows = x.wait_for_windows(["--name", "^%s$" % TITLE], 30, host)
        assert len(windows) == 1, "expected one window titled %r, found %s" % (TITLE, windows)
        time.sleep(1)  # let it draw, for the screenshot
        visible = x.visible_windows()
        assert set(visible.values()) == {TITLE}, "other windows than the application's: %s" % visible
        if screenshot:
            x.run(["import", "-window", windows[0], screenshot])
        x.xdotool("key", "--window", windows[0], "alt+F4")
        host.wait(timeout=60)
    lines = dict(line.split("=", 1) for line in open(result).read().splitlines() if "=" in line)
    assert int(lines["exit"]) == EXIT_CODE, "exit code %s, expected %d" % (lines["exit"], EXIT_CODE)
    print("window %r shown alone, closed with Alt+F4, exit code 0x%X" % (TITLE, EXIT_CODE))


if __name__ == "__main__":
    main()
