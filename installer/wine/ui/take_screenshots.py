#!/usr/bin/env python3
"""Takes the screenshots of Spoolrig's three dialogs shown in the README:
runs Spoolrig.exe in Wine's virtual desktop on an Xvfb display, in a
throwaway prefix and a Chinese locale, drives it to each dialog, grabs the
screen with ImageMagick's `import` and crops it to the dialog.

    take_screenshots.py WIN32_BUILD_DIR OUTPUT_DIR

Needs Xvfb, Wine (32-bit, or 64-bit for a 64-bit build), ImageMagick, the zh_CN.UTF-8 locale and
fonts-wqy-microhei. Not part of the test run.
"""

import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from spoolrig_session import (SpoolrigSession, VirtualDisplay, WinePrefix,  # noqa: E402
                              display_environment)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from sample_medium import make_medium  # noqa: E402
from wine_env import make_template  # noqa: E402


def grab(display, state, target):
    x, y, w, h = state["window"]
    env = dict(os.environ, DISPLAY=display.name)
    subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y),
                    "+repage", target], env=env, check=True)
    print("wrote", target)


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    win32_build, output = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    os.makedirs(output, exist_ok=True)
    # The prefix is made for the build's own kind (32- or 64-bit).
    os.environ["SPOOLRIG_WIN32_BUILD_DIR"] = win32_build
    with tempfile.TemporaryDirectory(prefix="spoolrig-shots-") as work, \
            VirtualDisplay() as display:
        medium = os.path.join(work, "medium")
        make_medium(medium)
        prefix = os.path.join(work, "prefix")
        make_template(prefix)
        wine = WinePrefix(prefix, extra_env=display_environment(display))
        try:
            wine.set_windows_version("win7")
            session = SpoolrigSession(wine, display, win32_build, medium)
            session.start("explorer", "/desktop=shot,1024x768")
            select_os = session.drive("wait:select", "state")[0]
            grab(display, select_os, os.path.join(output, "select-os.png"))
            detail = session.drive("wait:select", "click:1009", "wait:detail", "select:1014:3",
                                   "state")[0]
            grab(display, detail, os.path.join(output, "detail-setting.png"))
            about = session.drive("wait:detail", "syscommand:0x0010", "wait:about", "state")[0]
            grab(display, about, os.path.join(output, "about.png"))
            session.drive("wait:about", "key:esc", "gone:about", "wait:detail", "click:1010",
                          "gone:detail")
            session.wait_exit(timeout=30)
        finally:
            wine.stop_server()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
