"""A virtual X display (Xvfb) with a Wine server of its own, for the tests
that show windows: programs run in the Wine prefix given by WINEPREFIX (the
build's wineprefix-x11, which no other test uses), so Wine's desktop is
bound to this display. Every Wine process gets its output redirected, never
the test runner's pipes, and the Wine server is ended before and after.

    with xsession.session() as x:
        app = x.start(["wine", "app.exe"])
        window = x.wait_for_windows(["--name", "^Title$"], 30, app)
"""
import contextlib
import os
import subprocess
import time


class session:
    def __init__(self):
        self.xvfb = None
        self.display = None
        self.env = dict(os.environ, WINEDEBUG="-all")

    def __enter__(self):
        self.end_wine()
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24",
                                      "-nolisten", "tcp"], pass_fds=[write_end], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            self.display = ":" + f.readline().strip()
        self.env["DISPLAY"] = self.display
        return self

    def __exit__(self, *exc):
        self.end_wine()
        self.xvfb.terminate()
        self.xvfb.wait()
        return False

    def end_wine(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def run(self, args):
        return subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)

    def start(self, args):
        return subprocess.Popen(args, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def xdotool(self, *args):
        r = self.run(["xdotool"] + list(args))
        return r.stdout.split() if r.returncode == 0 else []

    def root_window(self):
        info = self.run(["xwininfo", "-root"]).stdout
        return str(int(info.split("Window id: ")[1].split()[0], 16))

    def visible_windows(self):
        """{window id: name} of the visible windows but the root."""
        root = self.root_window()
        return {w: self.run(["xdotool", "getwindowname", w]).stdout.strip()
                for w in self.xdotool("search", "--onlyvisible", "--name", ".*") if w != root}

    def wait_for_windows(self, search, seconds, process=None):
        """The ids of the visible windows that `xdotool search --onlyvisible
        SEARCH...` finds, once there are any, or none when `process` ends
        first or time runs out."""
        found = []
        wait_for(lambda: found.extend(self.xdotool("search", "--onlyvisible", *search)) or found or
                 (process is not None and process.poll() is not None), seconds)
        return found


def wait_for(condition, seconds):
    """Whether `condition()` came true within `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


def windows_path(path):
    """A Linux path as Wine shows it (the root is drive Z:)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")
