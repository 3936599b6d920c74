#!/usr/bin/env python3
"""Makes a sample installation medium for Spoolrig: placeholder files under
the real names of the driver files, the Windows 9x files at the top and the
NT files in "win2k". Spoolrig copies them by name without reading them.

    python3 sample_medium.py DIR
"""

import os
import sys

NT_FILES = ["TPX58.DLL", "TPX80.DLL", "TPX76.DLL", "TPX58.GPD", "TPX58C.GPD", "TPX80.GPD",
            "TPX80C.GPD", "TPX90.GPD", "TPX76.GPD", "TPX76C.GPD", "UNIDRV.DLL",
            "UNIDRVUI.DLL", "UNIRES.DLL", "UNIDRV.HLP", "TTFSUB.GPD", "STDNAMES.GPD"]
W9X_FILES = ["TPX58.DLL.drv", "TPX80.DLL.drv", "TPX76.DLL.drv", "iconlib.dll", "unidrv.dll",
             "unidrv.hlp"]


def sample_content(name):
    """What the placeholder file `name` holds."""
    return "sample " + name + "\n"


def make_medium(folder, nt_files=True):
    """Fills `folder`; without `nt_files` the "win2k" folder stays empty,
    as on a medium that lacks the NT driver."""
    os.makedirs(os.path.join(folder, "win2k"), exist_ok=True)
    for name in NT_FILES if nt_files else []:
        with open(os.path.join(folder, "win2k", name), "w") as f:
            f.write(sample_content(name))
    for name in W9X_FILES:
        with open(os.path.join(folder, name), "w") as f:
            f.write(sample_content(name))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print("usage: sample_medium.py DIR", file=sys.stderr)
        sys.exit(2)
    make_medium(sys.argv[1])
