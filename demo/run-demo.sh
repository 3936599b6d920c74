#!/usr/bin/env bash
# The main job, run by `./kit demo` after the build: installs one printer with
# Spoolrig's NT-family procedure under Wine, in a throwaway prefix, and shows
# what the spooler and the registry then hold. Never touches ~/.wine.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
WIN32_BUILD=${SPOOLRIG_WIN32_BUILD_DIR:-$ROOT/build/mingw}
PROBE=$WIN32_BUILD/installer/wine/procedures/spoolrig_procedure_probe.exe
# A template prefix left by the native build's Wine tests saves the boot.
TEMPLATE=${SPOOLRIG_WINE_TEMPLATE:-$ROOT/build/native/installer/wine/prefix-template}

if [ ! -f "$PROBE" ]; then
  echo "demo: $PROBE is missing; build the mingw preset first" >&2
  exit 1
fi

exec python3 - "$ROOT" "$PROBE" "$TEMPLATE" <<'PY'
import os, shutil, sys, tempfile
root, probe, template = sys.argv[1:4]
sys.path.insert(0, os.path.join(root, "installer", "wine", "harness"))
from wine_env import WinePrefix, make_template

work = tempfile.mkdtemp(prefix="spoolrig-demo.")
try:
    if not os.path.exists(os.path.join(template, "system.reg")):
        print("demo: making a throwaway Wine prefix (once, ~15 s)")
        template = os.path.join(work, "template")
        make_template(template)
    medium = os.path.join(work, "medium")
    os.makedirs(os.path.join(medium, "win2k"))
    for name in ["TPX80.DLL", "TPX80.GPD", "UNIDRV.DLL", "UNIDRVUI.DLL", "UNIRES.DLL",
                 "UNIDRV.HLP", "TTFSUB.GPD", "STDNAMES.GPD"]:
        with open(os.path.join(medium, "win2k", name), "w") as f:
            f.write("placeholder " + name)
    with WinePrefix.copy_of(template, work, "case") as wine:
        wine.import_registry(['[HKEY_CURRENT_USER\\Software\\Wine]', '"Version"="win7"',
                              '[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows NT'
                              '\\CurrentVersion\\Windows]'], restart=False)
        kind = wine.run([probe, "detect"], cwd=medium).stdout.strip()
        args = ["nt", "model=2", "port=4", "default=1", "baud=4", "parity=0", "bytesize=2",
                "stopbits=1", "flow=1"]
        wine.run([probe] + args, cwd=medium)
        reg = wine.registry()
        print("Spoolrig demo: NT-family install of TPX-80 on COM2: under Wine (Windows 7, %s)"
              % kind)
        print("  medium: win2k\\ with 8 placeholder driver files")
        printer = reg.values(r"HKLM\System\CurrentControlSet\Control\Print\Printers\TPX-80")
        print("  printer TPX-80: port %s, driver %s, processor %s" % (
            printer["Port"][1], printer["Printer Driver"][1], printer["Print Processor"][1]))
        drv = reg.values(r"HKLM\System\CurrentControlSet\Control\Print\Environments"
                         r"\Windows NT x86\Drivers\Version-3\TPX-80")
        deps = [d for d in drv["Dependent Files"][1].split("\0") if d]
        print("  driver TPX-80 (Windows NT x86, version %d): %s, data %s, dependent %s" % (
            drv["Version"][1], drv["Driver"][1], drv["Data File"][1], ", ".join(deps)))
        store = r"C:\windows\system32\spool\drivers\w32x86"
        print("  spooler's driver store w32x86\\3: %s" % ", ".join(wine.list_files(store + "\\3")))
        print("  staging directory w32x86: %s" % (", ".join(wine.list_files(store)) or "empty"))
        print("  HKCU\\...\\CurrentVersion\\Windows  Device = %s" % reg.value(
            r"HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows", "Device"))
        print("  HKLM\\...\\CurrentVersion\\Ports  COM2: = %s" % reg.value(
            r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\Ports", "COM2:"))
finally:
    shutil.rmtree(work, ignore_errors=True)
PY
