#!/usr/bin/env python3
"""End-to-end tests of Spoolrig.exe under Wine: the real program, started in
a copy of the template prefix with a sample installation medium, driven
through its dialogs by spoolrig_ui_driver.exe on an Xvfb display; then what
Wine's spooler and registry hold is checked.

    ui_wine_test.py --template DIR --win32-build DIR --work DIR CASE
"""

import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from spoolrig_session import (SerialLine, SpoolrigSession, VirtualDisplay,  # noqa: E402
                              WinePrefix, control, display_environment, selected_text)
from sample_medium import make_medium  # noqa: E402  (found through spoolrig_session's path)
from wine_env import nt_driver_environment  # noqa: E402  (likewise)

PRINTERS = r"HKLM\System\CurrentControlSet\Control\Print\Printers"
NT_DRIVERS = (r"HKLM\System\CurrentControlSet\Control\Print\Environments" + "\\" +
              nt_driver_environment()[0] + r"\Drivers\Version-3")
W9X_DRIVERS = (r"HKLM\System\CurrentControlSet\Control\Print\Environments"
               r"\Windows 4.0\Drivers\Version-0")
DEVICE_KEY = r"HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows"
PORTS_KEY = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\Ports"
CLASS_PORTS = r"HKLM\System\CurrentControlSet\Services\Class\Ports"

RADIOS = {1003: "Windows 2000", 1004: "Windows XP", 1011: "Windows 2003",
          1012: "Windows Vista", 1013: "Windows 7"}

# Control ids of the two main dialogs.
NEXT, SELECT_CANCEL = 1009, 1010
BACK, OK, CANCEL = 1008, 1009, 1010
MODEL, SET_DEFAULT, PRINTER_NAME, PORT = 1011, 1012, 1013, 1014
BAUD, BYTE_SIZE, FLOW, PARITY, STOP_BITS = 1015, 1016, 1017, 1018, 1019
SERIAL_LISTS = (BAUD, BYTE_SIZE, STOP_BITS, PARITY, FLOW)

WS_DISABLED = 0x08000000
WS_EX_APPWINDOW = 0x00040000


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def check_equal(expected, actual, what):
    if expected != actual:
        raise AssertionError("%s: expected %r, got %r" % (what, expected, actual))


class Case:
    def __init__(self, options, name):
        self.options = options
        self.name = name
        self.folder = os.path.join(os.path.abspath(options.work), name)
        self.medium = os.path.join(self.folder, "medium")
        make_medium(self.medium)

    def prefix(self, display):
        # Every Wine process of the prefix, regedit included, must see the
        # display: the first one to start brings up the desktop that later
        # windows appear on.
        return WinePrefix.copy_of(self.options.template, self.options.work, self.name,
                                  extra_env=display_environment(display))

    def session(self, wine, display):
        return SpoolrigSession(wine, display, self.options.win32_build, self.medium)


def prepare(wine, version, extra=()):
    """Sets the Windows version that programs see and adds what every real
    Windows has but a fresh Wine prefix lacks: the key of the "Device"
    value, which Spoolrig opens but never creates."""
    wine.import_registry(['[HKEY_CURRENT_USER\\Software\\Wine]', '"Version"="%s"' % version,
                          '[HKEY_CURRENT_USER\\' + DEVICE_KEY[5:] + ']'] + list(extra),
                         restart=False)


def tpx_printers(reg):
    """Names of the printers that Spoolrig can install, in lower case (the
    registry snapshot keeps key names so)."""
    return [p for p in reg.subkeys(PRINTERS) if p.startswith("tpx")]


def ticked_radios(state):
    return sorted(c["id"] for c in state["controls"] if c["id"] in RADIOS and c["check"] == 1)


# --- cases ---------------------------------------------------------------------


def case_preselection(case):
    """Each Windows version setting ticks its radio button, or none."""
    expected = {"win95": [], "win98": [], "winme": [], "nt40": [], "win2k": [1003],
                "winxp": [1004], "win2003": [1011], "vista": [1012], "win7": [1013],
                "win10": []}
    with VirtualDisplay() as display, case.prefix(display) as wine:
        failures = []
        for version, radios in expected.items():
            wine.set_windows_version(version)
            session = case.session(wine, display)
            session.start()
            state = session.drive("wait:select", "state", "click:%d" % SELECT_CANCEL)[0]
            session.wait_exit()
            if ticked_radios(state) != radios:
                failures.append("%s: ticked %r, expected %r" %
                                (version, ticked_radios(state), radios))
        check(not failures, "; ".join(failures))


def dialog_units(state, template_size):
    """Converts the controls' pixel rectangles back to dialog units, using
    the dialog's client size and its size in the template."""
    sx = state["client"][0] / template_size[0]
    sy = state["client"][1] / template_size[1]
    return {i: [c["rect"][0] / sx, c["rect"][1] / sy, c["rect"][2] / sx, c["rect"][3] / sy]
            for i, c in enumerate(state["controls"])}


def check_layout(state, template_size, table):
    """`table`: (id, class, text, x, y, w, h) per control in template order;
    h None for drop-down lists, whose template height includes the list."""
    check_equal(len(table), len(state["controls"]), state["caption"] + " control count")
    units = dialog_units(state, template_size)
    for i, (cid, cls, text, x, y, w, h) in enumerate(table):
        c = state["controls"][i]
        what = "%s control %d (%s)" % (state["caption"], i, text)
        check_equal((cid, cls.lower()), (c["id"], c["class"].lower()), what)
        if text is not None:
            check_equal(text, c["text"], what + " text")
        got = units[i]
        for name, want, have in (("x", x, got[0]), ("y", y, got[1]), ("w", w, got[2]),
                                 ("h", h, got[3])):
            if want is not None:
                check(abs(want - have) <= 1.5, "%s %s: %s dialog units, got %.1f" %
                      (what, name, want, have))


SELECT_OS_TABLE = [
    (-1, "Button", "Select Install OS", 7, 13, 259, 116),
    (1003, "Button", "Windows 2000", 25, 35, 62, 10),
    (1004, "Button", "Windows XP", 25, 63, 55, 10),
    (1009, "Button", "Next", 135, 146, 46, 14),
    (1010, "Button", "Cancel", 191, 146, 46, 14),
    (1011, "Button", "Windows 2003", 135, 35, 67, 10),
    (1012, "Button", "Windows Vista", 25, 94, 65, 10),
    (1013, "Button", "Windows 7", 135, 65, 65, 10),
    (-1, "Static", None, 11, 136, None, None),  # the icon keeps its own size
]

DETAIL_TABLE = [
    (1011, "ComboBox", None, 84, 19, 156, None),
    (-1, "Button", "Printer Setting", 7, 48, 350, 54),
    (-1, "Button", "Printer Port Setting", 7, 108, 350, 94),
    (-1, "Static", "Install Module:", 20, 22, 60, 10),
    (1012, "Button", "Set Default Printer", 19, 59, 92, 10),
    (-1, "Static", "Printer name:", 20, 79, 56, 8),
    (1013, "Edit", None, 84, 75, 155, 15),
    (1014, "ComboBox", None, 58, 123, 65, None),
    (1015, "ComboBox", None, 58, 149, 65, None),
    (1016, "ComboBox", None, 58, 172, 65, None),
    (1017, "ComboBox", None, 286, 149, 65, None),
    (1018, "ComboBox", None, 171, 172, 65, None),
    (1019, "ComboBox", None, 171, 149, 65, None),
    (-1, "Static", "Ports:", 20, 127, 25, 8),
    (-1, "Static", "BaudRate:", 20, 148, 37, 8),
    (-1, "Static", "ByteSize:", 20, 171, 37, 8),
    (-1, "Static", "StopBits:", 134, 151, 37, 8),
    (-1, "Static", "Parity:", 134, 172, 29, 8),
    (-1, "Static", "FlowControl", 240, 153, 45, 8),
    (1008, "Button", "Back", 138, 207, 61, 15),
    (1009, "Button", "OK", 212, 207, 61, 15),
    (1010, "Button", "Cancel", 286, 207, 61, 15),
]

DETAIL_DEFAULTS = {MODEL: "TPX-58     Series", PORT: "LPT1", BAUD: "19200", BYTE_SIZE: "8",
                   STOP_BITS: "1", PARITY: "None", FLOW: "Hardware"}


def check_detail_defaults(state):
    for list_id, text in DETAIL_DEFAULTS.items():
        check_equal(text, selected_text(state, list_id), "list %d default" % list_id)
    check_equal("TPX-58     Series", control(state, PRINTER_NAME)["text"], "printer name")
    check_equal(1, control(state, SET_DEFAULT)["check"], "Set Default Printer")
    for list_id in SERIAL_LISTS:
        check(not control(state, list_id)["enabled"], "list %d should be disabled" % list_id)


def case_dialogs(case):
    """Templates, defaults, list reactions, the About box and Enter, on the
    real dialog manager."""
    with VirtualDisplay() as display, case.prefix(display) as wine:
        prepare(wine, "win7")
        session = case.session(wine, display)
        session.start()
        out = session.drive("wait:select", "state", "focus", "click:1011", "state")
        select_os, focus, after_tick = out
        check_layout(select_os, (273, 181), SELECT_OS_TABLE)
        check_equal([1013], ticked_radios(select_os), "preselected radio")
        check_equal("focus %d" % NEXT, focus, "Select OS focus")
        check_equal([1011], ticked_radios(after_tick), "radios after a click on Windows 2003")

        out = session.drive("wait:select", "click:%d" % NEXT, "wait:detail", "state", "focus",
                            "select:%d:3" % PORT, "select:%d:4" % BAUD, "state",
                            "select:%d:2" % PORT, "select:%d:6" % MODEL, "state")
        detail, focus, on_com1, on_lpt3 = out
        check_layout(detail, (364, 239), DETAIL_TABLE)
        check(detail["exstyle"] & WS_EX_APPWINDOW, "Detail Setting has its own taskbar button")
        check_equal(["TPX-58     Series", "TPX-58C    Series", "TPX-80     Series",
                     "TPX-80C    Series", "TPX-90     Series", "TPX-76     Series",
                     "TPX-76C    Series"], control(detail, MODEL)["items"], "model items")
        check_equal(["Even", "Mark", "None", "Odd", "Space"], control(detail, PARITY)["items"],
                    "parity items")
        check_detail_defaults(detail)
        check_equal("focus %d" % MODEL, focus, "Detail Setting focus")
        for list_id in SERIAL_LISTS:
            check(control(on_com1, list_id)["enabled"], "COM1 enables list %d" % list_id)
            check(not control(on_lpt3, list_id)["enabled"], "LPT3 disables list %d" % list_id)
        check_equal("9600", selected_text(on_lpt3, BAUD), "baud rate kept")
        check_equal("TPX-76C    Series", control(on_lpt3, PRINTER_NAME)["text"], "printer name")

        # A window-menu command with low bits set still opens the About box.
        out = session.drive("wait:detail", "syscommand:0x0013", "wait:about", "state", "focus",
                            "key:enter", "gone:about", "wait:detail", "state")
        about, focus, detail_after = out
        check_equal("关于 Spoolrig", about["caption"], "About caption")
        check_equal([(-1, "Static", ""), (-1, "Static", "Spoolrig V2.00"), (1, "Button", "确定")],
                    [(c["id"], c["class"], c["text"]) for c in about["controls"]],
                    "About controls")
        check_equal("focus 1", focus, "About focus")
        check_equal(on_lpt3["controls"], detail_after["controls"], "Detail Setting after About")

        # Enter with the focus on the model list ends the program uninstalled.
        session.drive("wait:detail", "key:enter", "gone:detail")
        session.wait_exit()
        check_equal([], tpx_printers(wine.registry()), "printers after Enter")


def case_install_nt_serial(case):
    """TPX-80 on COM1 at 9600 baud on Windows XP."""
    with VirtualDisplay() as display, case.prefix(display) as wine:
        prepare(wine, "winxp")
        session = case.session(wine, display)
        session.start()
        session.drive("wait:select", "click:%d" % NEXT, "wait:detail",
                      "select:%d:2" % MODEL, "select:%d:3" % PORT, "select:%d:4" % BAUD,
                      "post-click:%d" % OK, "gone:detail")
        session.wait_exit()
        reg = wine.registry()
        check_equal(["tpx-80"], tpx_printers(reg), "printers")
        check_equal("COM1:", reg.value(PRINTERS + r"\TPX-80", "Port"), "printer port")
        check_equal("TPX-80", reg.value(PRINTERS + r"\TPX-80", "Printer Driver"), "driver")
        check(reg.has_key(NT_DRIVERS + r"\TPX-80"), "NT driver registered")
        check_equal("TPX-80,winspool,COM1:", reg.value(DEVICE_KEY, "Device"), "Device")
        check_equal("9600,n,8,1,p", reg.value(PORTS_KEY, "COM1:"), "COM1: settings")


def case_install_9x(case):
    """TPX-58C on COM2 on Windows 98, not as default printer: the DCB goes
    under the class key 0001."""
    with VirtualDisplay() as display, SerialLine(case.folder) as line, \
            case.prefix(display) as wine:
        prepare(wine, "win98", [
            '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]',
            '"COM1"="%s"' % line.device.replace("\\", "\\\\"),
            "[HKEY_LOCAL_MACHINE\\" + CLASS_PORTS[5:] + "\\0000]",
            "[HKEY_LOCAL_MACHINE\\" + CLASS_PORTS[5:] + "\\0001]"])
        # Taking the snapshot stops the wineserver; the next one to start
        # reads the serial port mapping.
        before = wine.registry()
        session = case.session(wine, display)
        session.start()
        state = session.drive("wait:select", "state", "click:%d" % NEXT, "wait:detail",
                              "select:%d:1" % MODEL, "click:%d" % SET_DEFAULT,
                              "select:%d:4" % PORT, "select:%d:8" % BAUD,
                              "select:%d:1" % FLOW, "post-click:%d" % OK, "gone:detail")[0]
        session.wait_exit()
        check_equal([], ticked_radios(state), "radios on Windows 98")
        reg = wine.registry()
        check_equal(["tpx-58c"], tpx_printers(reg), "printers")
        check_equal("COM2:", reg.value(PRINTERS + r"\TPX-58C", "Port"), "printer port")
        check(reg.has_key(W9X_DRIVERS + r"\TPX-58C"), "9x driver registered")
        check(not reg.has_key(NT_DRIVERS + r"\TPX-58C"), "no NT driver")
        check_equal(before.values(PORTS_KEY), reg.values(PORTS_KEY), "NT settings untouched")
        check_equal(before.value(DEVICE_KEY, "Device"), reg.value(DEVICE_KEY, "Device"),
                    "no Device value on Windows 98")
        dcb = reg.value(CLASS_PORTS + r"\0001", "DCB")
        check(isinstance(dcb, bytes) and len(dcb) == 28, "28-byte DCB under 0001: %r" % (dcb,))
        check_equal(115200, int.from_bytes(dcb[4:8], "little"), "DCB baud rate")
        check_equal(0x0311, int.from_bytes(dcb[8:10], "little"), "DCB low flag bits")
        check_equal(8, dcb[18], "DCB byte size")
        check_equal(None, reg.value(CLASS_PORTS + r"\0000", "DCB"), "no DCB under 0000")


def case_back_next(case):
    """Back and Next again restores every default, then OK installs."""
    with VirtualDisplay() as display, case.prefix(display) as wine:
        prepare(wine, "win7")
        before = wine.registry()
        session = case.session(wine, display)
        session.start()
        session.drive("wait:select", "click:1003", "click:%d" % NEXT, "wait:detail",
                      "select:%d:5" % MODEL, "click:%d" % SET_DEFAULT, "select:%d:6" % PORT,
                      "select:%d:0" % BAUD, "click:%d" % BACK, "gone:detail")
        select_again, detail_again = session.drive("wait:select", "state", "click:%d" % NEXT,
                                                   "wait:detail", "state")
        check_equal([1013], ticked_radios(select_again), "radio after Back")
        check_detail_defaults(detail_again)
        session.drive("wait:detail", "post-click:%d" % OK, "gone:detail")
        session.wait_exit()
        reg = wine.registry()
        check_equal(["tpx-58"], tpx_printers(reg), "printers")
        check_equal("LPT1:", reg.value(PRINTERS + r"\TPX-58", "Port"), "printer port")
        check_equal("TPX-58,winspool,LPT1:", reg.value(DEVICE_KEY, "Device"), "Device")
        check_equal(before.values(PORTS_KEY), reg.values(PORTS_KEY),
                    "no serial settings for the COM4 choice dropped by Back")


def case_cancel(case):
    """Every way out but OK installs nothing: Esc in Select OS, then Cancel,
    Esc and the close box in Detail Setting."""
    with VirtualDisplay() as display, case.prefix(display) as wine:
        prepare(wine, "winxp")
        before = wine.registry()
        ways = [("wait:select", "key:esc", "gone:select"),
                ("wait:select", "click:%d" % NEXT, "wait:detail", "select:%d:3" % PORT,
                 "click:%d" % CANCEL, "gone:detail"),
                ("wait:select", "click:%d" % NEXT, "wait:detail", "key:esc", "gone:detail"),
                ("wait:select", "click:%d" % NEXT, "wait:detail", "close", "gone:detail")]
        for steps in ways:
            session = case.session(wine, display)
            session.start()
            session.drive(*steps)
            session.wait_exit()
        reg = wine.registry()
        check_equal([], tpx_printers(reg), "printers")
        check_equal(before.values(PORTS_KEY), reg.values(PORTS_KEY), "Ports key")
        check_equal(before.value(DEVICE_KEY, "Device"), reg.value(DEVICE_KEY, "Device"),
                    "Device value")


def case_window_layer(case):
    """Spoolrig's Win32 layers on the real dialog manager, through a probe
    with handlers of its own. A tick set from code on a disabled or a hidden
    radio button clears the rest of the group and returns. A message box
    shown while another program is in front is owned by the open dialog and
    disables it, so that OK or Back cannot be taken while it is up."""
    probe = os.path.join(os.path.abspath(case.options.win32_build),
                         "installer", "wine", "ui", "spoolrig_window_probe.exe")
    with VirtualDisplay() as display, case.prefix(display) as wine:
        prepare(wine, "win7")
        try:
            radios = wine.run([probe, "radio"], cwd=case.medium, timeout=60).stdout
        except subprocess.TimeoutExpired:
            raise AssertionError("ticking a disabled radio button never returned")
        check_equal(["radio 1003=1 1004=0 1011=0 1012=0 1013=0",
                     "radio 1003=0 1004=1 1011=0 1012=0 1013=0"],
                    [line for line in radios.split("\n") if line], "radio buttons")

        session = case.session(wine, display)
        session.start(command=[probe, "message"])
        # A disabled dialog gets no clicks of the user's: that is what keeps
        # OK and Back from running again.
        out = session.drive("wait:detail", "background", "command:%d" % OK, "message-box",
                            "dismiss", "gone:detail")
        check_equal(["message-box owner=dialog dialog=disabled"], out, "message box")
        session.wait_exit()


CASES = {name[5:]: f for name, f in globals().items() if name.startswith("case_")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--template", required=True)
    parser.add_argument("--win32-build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    options = parser.parse_args()
    for exe in ("installer/win32/Spoolrig.exe", "installer/wine/ui/spoolrig_ui_driver.exe"):
        if not os.path.exists(os.path.join(options.win32_build, exe)):
            print("missing %s in %s: build the mingw preset first" % (exe, options.win32_build))
            return 1
    CASES[options.case](Case(options, options.case))
    print("ok " + options.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
