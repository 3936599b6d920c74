#!/usr/bin/env bash
# Spoolrig's half of the demo: makes a sample installation medium (placeholder
# driver files under their real names), runs the real Spoolrig.exe under Wine
# in a throwaway prefix and installs "TPX-80" on "COM1:" at 9600 baud, then
# shows what Wine's spooler and registry hold. Never touches ~/.wine.
#
#   demo/spoolrig-demo.sh                 the UI driver clicks through the
#                                         dialogs (on Xvfb without a DISPLAY)
#   demo/spoolrig-demo.sh --interactive   you click through them yourself
#                                         (needs a DISPLAY)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# The 32-bit program, or its 64-bit build where this host cannot run 32-bit
# programs (./kit demo says which); the prefix is made to match it.
HARNESS=$ROOT/installer/wine/harness/wine_env.py
if [ -z "${SPOOLRIG_WIN32_BUILD_DIR:-}" ]; then
  SPOOLRIG_WIN32_BUILD_DIR=$ROOT/build/mingw
  python3 "$HARNESS" host-runs-32bit >/dev/null || SPOOLRIG_WIN32_BUILD_DIR=$ROOT/build/mingw64
fi
export SPOOLRIG_WIN32_BUILD_DIR
WIN32_BUILD=$SPOOLRIG_WIN32_BUILD_DIR
# A template prefix left by the native build's Wine tests saves the boot.
TEMPLATE=${SPOOLRIG_WINE_TEMPLATE:-$ROOT/build/native/installer/wine/prefix-template}
MODE=driven
case "${1:-}" in
  --interactive) MODE=interactive ;;
  "") ;;
  *) echo "usage: $0 [--interactive]" >&2; exit 2 ;;
esac

for exe in installer/win32/Spoolrig.exe installer/wine/ui/spoolrig_ui_driver.exe; do
  if [ ! -f "$WIN32_BUILD/$exe" ]; then
    echo "spoolrig demo: $WIN32_BUILD/$exe is missing; build its preset first" >&2
    exit 1
  fi
done
if [ "$MODE" = interactive ] && [ -z "${DISPLAY:-}" ]; then
  echo "spoolrig demo: --interactive needs a DISPLAY" >&2
  exit 2
fi

exec python3 - "$ROOT" "$WIN32_BUILD" "$TEMPLATE" "$MODE" <<'PY'
import contextlib, os, shutil, sys, tempfile
root, win32_build, template, mode = sys.argv[1:5]
sys.stdout.reconfigure(line_buffering=True)
sys.path.insert(0, os.path.join(root, "installer", "wine", "ui"))
sys.path.insert(0, os.path.join(root, "installer", "wine", "harness"))
from sample_medium import make_medium
from spoolrig_session import SpoolrigSession, VirtualDisplay, WinePrefix, display_environment
from wine_env import make_template, nt_driver_environment, prefix_arch, wine_arch

PRINTERS = r"HKLM\System\CurrentControlSet\Control\Print\Printers"
NT_ENVIRONMENT = nt_driver_environment()[0]
NT_DRIVERS = (r"HKLM\System\CurrentControlSet\Control\Print\Environments" + "\\" +
              NT_ENVIRONMENT + r"\Drivers\Version-3")
DEVICE_KEY = r"HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows"
PORTS_KEY = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\Ports"


class ExistingDisplay:
    name = os.environ.get("DISPLAY")


work = tempfile.mkdtemp(prefix="spoolrig-demo.")
try:
    if prefix_arch(template) != wine_arch():
        print("spoolrig demo: making a throwaway Wine prefix (once, ~15 s)")
        template = os.path.join(work, "template")
        make_template(template)
    medium = os.path.join(work, "medium")
    make_medium(medium)
    use_own_display = mode == "driven" and not os.environ.get("DISPLAY")
    with (VirtualDisplay() if use_own_display else contextlib.nullcontext(ExistingDisplay())) \
            as display, \
            WinePrefix.copy_of(template, work, "case",
                               extra_env=display_environment(display)) as wine:
        # A real Windows has the key of the "Device" value; a fresh prefix does not.
        wine.import_registry(['[HKEY_CURRENT_USER\\Software\\Wine]', '"Version"="win7"',
                              '[HKEY_CURRENT_USER\\' + DEVICE_KEY[5:] + ']'], restart=False)
        session = SpoolrigSession(wine, display, win32_build, medium)
        session.start()
        if mode == "interactive":
            print("spoolrig demo: Spoolrig is open on your display; click through its dialogs")
            session.wait_exit(timeout=24 * 3600)
        else:
            print("spoolrig demo: Spoolrig.exe (%s) under Wine (Windows 7), driven through "
                  "its dialogs:" % ("64-bit build" if wine_arch() == "win64" else "32-bit"))
            session.drive("wait:select")
            print("  Select OS: Next")
            session.drive("wait:select", "click:1009", "wait:detail",
                          "select:1011:2", "select:1014:3", "select:1015:4")
            print('  Detail Setting: model "TPX-80     Series", port COM1, baud rate 9600, OK')
            session.drive("wait:detail", "post-click:1009", "gone:detail")
            session.wait_exit()
        reg = wine.registry()
        print("What Wine's spooler and registry now hold:")
        printers = [p for p in reg.subkeys(PRINTERS)]
        for name in printers:
            values = reg.values(PRINTERS + "\\" + name)
            print("  printer %s on port %s, driver %s" % (
                values["Name"][1], values["Port"][1], values["Printer Driver"][1]))
        for name in reg.subkeys(NT_DRIVERS):
            values = reg.values(NT_DRIVERS + "\\" + name)
            print("  driver %s (%s, version %d): %s, data file %s" % (
                name.upper(), NT_ENVIRONMENT, values["Version"][1], values["Driver"][1],
                values["Data File"][1]))
        print("  default printer (HKCU ...\\Windows, Device): %s" %
              reg.value(DEVICE_KEY, "Device"))
        print("  serial settings (HKLM ...\\Ports, COM1:): %s" % reg.value(PORTS_KEY, "COM1:"))
finally:
    shutil.rmtree(work, ignore_errors=True)
PY
