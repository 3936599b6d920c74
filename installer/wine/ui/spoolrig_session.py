"""Runs Spoolrig.exe under Wine on a virtual X display and drives its
dialogs with spoolrig_ui_driver.exe. Shared by the UI tests, the demo and
the screenshot script.

    with VirtualDisplay() as display, WinePrefix.copy_of(...) as wine:
        session = SpoolrigSession(wine, display, win32_build, medium)
        session.start()
        state = session.drive("wait:select", "state")[0]
        ...
        session.wait_exit()
"""

import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from wine_env import SerialLine, WinePrefix  # noqa: E402,F401  (re-exported for the scripts)

# Wine shows the dialogs' Chinese texts only in a Chinese locale, where the
# program's 8-bit texts are in code page 936.
CHINESE_LOCALE = {"LANG": "zh_CN.UTF-8", "LC_ALL": "zh_CN.UTF-8"}


def display_environment(display):
    """What every Wine process of a prefix needs to show Spoolrig's dialogs
    on `display`, in Chinese."""
    env = dict(CHINESE_LOCALE)
    env["DISPLAY"] = display.name
    return env


def program_paths(win32_build):
    win32_build = os.path.abspath(win32_build)
    return (os.path.join(win32_build, "installer", "win32", "Spoolrig.exe"),
            os.path.join(win32_build, "installer", "wine", "ui", "spoolrig_ui_driver.exe"))


class VirtualDisplay:
    """An Xvfb server on a free display number, for as long as the `with`
    block lasts."""

    def __init__(self, size="1024x768x24"):
        self.size = size
        self.process = None
        self.name = None

    def __enter__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.size,
             "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        if not number:
            self.process.kill()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number
        return self

    def __exit__(self, *exc):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        return False


class SpoolrigSession:
    """One run of Spoolrig.exe in `wine`'s prefix, with `medium` as its
    current directory."""

    def __init__(self, wine, display, win32_build, medium):
        self.wine = wine
        self.env = dict(wine.env)
        self.env.update(display_environment(display))
        self.spoolrig, self.driver = program_paths(win32_build)
        self.medium = medium
        self.process = None
        self.desktop = None

    def start(self, *wine_args, command=None):
        """Starts Spoolrig (after `wine_args`, e.g. explorer /desktop=...),
        or `command` (a program and its arguments) in its place."""
        for arg in wine_args:
            if arg.startswith("/desktop="):
                self.desktop = arg[len("/desktop="):].split(",")[0]
        self.log = open(os.path.join(os.path.dirname(self.wine.path), "spoolrig.log"), "ab")
        program = list(command) if command else [self.spoolrig]
        self.process = subprocess.Popen([self.wine.loader] + list(wine_args) + program,
                                        cwd=self.medium, env=self.env,
                                        stdout=self.log, stderr=self.log)

    def drive(self, *steps, timeout=120):
        """Runs the driver with `steps`; returns what it printed, a parsed
        JSON object per "state" step and a text per other line."""
        # Output goes through files, not pipes: a Wine process that the
        # driver happens to start (the desktop, the wineserver) inherits its
        # output handles and would hold a pipe open long after it has ended.
        if self.desktop:
            steps = ("desktop:" + self.desktop,) + steps
        with tempfile.TemporaryFile() as out_file, tempfile.TemporaryFile() as err_file:
            try:
                code = subprocess.run([self.wine.loader, self.driver] + list(steps), env=self.env,
                                      stdout=out_file, stderr=err_file,
                                      timeout=timeout).returncode
            except subprocess.TimeoutExpired:
                code = None
            out_file.seek(0)
            err_file.seek(0)
            out = out_file.read().decode("utf-8", "replace").replace("\r\n", "\n")
            err = err_file.read().decode("utf-8", "replace")
        if code != 0:
            raise AssertionError("driver %s at %r:\n%s%s" % (
                "hung" if code is None else "failed", steps, out, err))
        return [json.loads(line) if line.startswith("{") else line
                for line in out.split("\n") if line]

    def wait_exit(self, timeout=60):
        """Waits until Spoolrig has ended; fails when it is still running."""
        deadline = time.monotonic() + timeout
        while self.process.poll() is None:
            if time.monotonic() > deadline:
                self.process.kill()
                raise AssertionError("Spoolrig did not end")
            time.sleep(0.1)

    def running(self):
        return self.process is not None and self.process.poll() is None


def control(state, control_id):
    """The control of a "state" result with this id (the first one)."""
    for c in state["controls"]:
        if c["id"] == control_id:
            return c
    raise AssertionError("no control %d in %s" % (control_id, state["caption"]))


def selected_text(state, control_id):
    c = control(state, control_id)
    return c["items"][c["selection"]] if c["selection"] >= 0 else None
