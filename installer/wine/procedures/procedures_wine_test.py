#!/usr/bin/env python3
"""Runs the installation procedures and the version classification for real
under Wine, through spoolrig_procedure_probe.exe, and checks what Wine's
spooler, registry and file system hold afterwards.

    procedures_wine_test.py --template DIR --probe EXE --work DIR CASE

Each case works in its own copy of the template prefix and its own
installation medium (placeholder files under the real names)."""

import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))
from sample_medium import make_medium, sample_content  # noqa: E402
from wine_env import Registry, SerialLine, WinePrefix, nt_driver_environment  # noqa: E402

NT_ENVIRONMENT, NT_FOLDER = nt_driver_environment()
NT_DIR = "C:\\windows\\system32\\spool\\drivers\\" + NT_FOLDER
NT_STORE = NT_DIR + r"\3"
W9X_DIR = r"C:\windows\system32\spool\drivers\win40"
PRINT = r"HKLM\System\CurrentControlSet\Control\Print"
PRINTERS = PRINT + r"\Printers"
NT_DRIVERS = PRINT + "\\Environments\\" + NT_ENVIRONMENT + "\\Drivers\\Version-3"
W9X_DRIVERS = PRINT + r"\Environments\Windows 4.0\Drivers\Version-0"
DEVICE_KEY = r"HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows"
PORTS_KEY = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\Ports"
CLASS_PORTS = r"HKLM\System\CurrentControlSet\Services\Class\Ports"


class Case:
    def __init__(self, options, name):
        self.options = options
        self.name = name
        self.folder = os.path.join(os.path.abspath(options.work), name)
        self.medium = os.path.join(self.folder, "medium")

    def prefix(self):
        return WinePrefix.copy_of(self.options.template, self.options.work, self.name)

    def make_medium(self, nt_files=True):
        make_medium(self.medium, nt_files)

    def probe(self, wine, *args):
        """Runs the probe in the medium folder; returns its output lines."""
        result = wine.run([self.options.probe] + list(args), cwd=self.medium)
        lines = result.stdout.split("\n")
        lines = [line for line in lines if line]
        check(lines and lines[-1] == "done" or args[0] == "detect",
              "probe did not finish: %r" % lines)
        return lines


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def read(path):
    with open(path) as f:
        return f.read()


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def check_equal(expected, actual, what):
    check(expected == actual, "%s: expected %r, got %r" % (what, expected, actual))


def lower_set(names):
    return {n.lower() for n in names}


def check_printer(reg, name, port, driver, default_attribute=False):
    key = PRINTERS + "\\" + name
    check(reg.has_key(key), "printer %s is not registered" % name)
    check_equal(port, reg.value(key, "Port"), name + " port")
    check_equal(driver, reg.value(key, "Printer Driver"), name + " driver")
    check_equal("WinPrint", reg.value(key, "Print Processor"), name + " print processor")
    attributes = reg.value(key, "Attributes", 0)
    check_equal(default_attribute, bool(attributes & 4), name + " default attribute")


def check_nt_driver(reg, wine, name, dll, gpd):
    key = NT_DRIVERS + "\\" + name
    check(reg.has_key(key), "driver %s is not registered" % name)
    check_equal(3, reg.value(key, "Version"), "driver version")
    check_equal("uniDRV.DLL", reg.value(key, "Driver"), "driver path")
    check_equal(gpd, reg.value(key, "Data File"), "data file")
    check_equal("uniDRVui.DLL", reg.value(key, "Configuration File"), "config file")
    check_equal("uniDRV.HLP", reg.value(key, "Help File"), "help file")
    dependent = [n for n in reg.value(key, "Dependent Files", "").split("\0") if n]
    check_equal([dll, "TTFSUB.GPD", "STDNAMES.GPD", "uniDRVui.DLL", "uniDRV.DLL",
                 "UNIRES.DLL"], dependent, "dependent files")
    # The spooler took its own copies of every file the record names.
    stored = lower_set(wine.list_files(NT_STORE))
    for needed in [dll, gpd, "UNIDRV.DLL", "UNIDRVUI.DLL", "UNIRES.DLL", "UNIDRV.HLP",
                   "TTFSUB.GPD", "STDNAMES.GPD"]:
        check(needed.lower() in stored, "%s missing from the driver store" % needed)
    check_equal(sample_content(gpd), read(os.path.join(wine.host_path(NT_STORE), gpd)),
                "stored data file")


def check_nothing_staged(wine):
    check_equal([], wine.list_files(NT_DIR), "files left in the staging directory")


def check_no_message(lines):
    check(not any(line.startswith("MessageBoxA") for line in lines),
          "unexpected message: %r" % lines)


def serial_args(port, baud, parity, bytesize, stopbits, flow):
    return ["port=%d" % port, "baud=%d" % baud, "parity=%d" % parity,
            "bytesize=%d" % bytesize, "stopbits=%d" % stopbits, "flow=%d" % flow]


def dcb_fields(data):
    check_equal(28, len(data), "DCB length")
    return {
        "DCBlength": int.from_bytes(data[0:4], "little"),
        "BaudRate": int.from_bytes(data[4:8], "little"),
        "lowFlags": int.from_bytes(data[8:10], "little"),
        "ByteSize": data[18], "Parity": data[19], "StopBits": data[20],
    }


# --- cases ------------------------------------------------------------------

def case_detect(case):
    expected = [("win95", 1), ("win98", 2), ("winme", 2), ("nt40", 3), ("win2k", 4),
                ("winxp", 5), ("win2003", 6), ("vista", 7), ("win7", 8),
                # Newer than 6.1: no rule applies and the kind stays 0.
                ("win10", 0)]
    case.make_medium()
    with case.prefix() as wine:
        for version, kind in expected:
            wine.set_windows_version(version)
            lines = case.probe(wine, "detect")
            check_equal(["OsKind %d" % kind], lines, "classification under " + version)


def nt_case(case, version, device_key=True):
    wine = case.prefix()
    registry = ['[HKEY_CURRENT_USER\\Software\\Wine]', '"Version"="%s"' % version]
    if device_key:
        registry.append("[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows NT\\CurrentVersion"
                        "\\Windows]")
    wine.import_registry(registry, restart=False)
    return wine


def case_nt_parallel(case):
    case.make_medium()
    with nt_case(case, "win7") as wine:
        before = wine.registry()
        lines = case.probe(wine, "nt", "model=3", "port=1", "default=0")
        check_no_message(lines)
        reg = wine.registry()
        check_printer(reg, "TPX-80C", "LPT2:", "TPX-80C")
        check_nt_driver(reg, wine, "TPX-80C", "TPX80.DLL", "TPX80C.GPD")
        check_nothing_staged(wine)
        check_equal(None, reg.value(DEVICE_KEY, "Device"), "Device value")
        check_equal(before.values(PORTS_KEY), reg.values(PORTS_KEY), "Ports key")


def case_nt_serial(case):
    case.make_medium()
    with nt_case(case, "win7") as wine:
        lines = case.probe(wine, "nt", "model=4", "default=1", *serial_args(5, 8, 2, 3, 0, 0))
        check_no_message(lines)
        reg = wine.registry()
        check_printer(reg, "TPX-90", "COM3:", "TPX-90")
        check_nt_driver(reg, wine, "TPX-90", "TPX80.DLL", "TPX90.GPD")
        check_nothing_staged(wine)
        check_equal("TPX-90,winspool,COM3:", reg.value(DEVICE_KEY, "Device"), "Device value")
        check_equal("115200,n,8,1, ", reg.value(PORTS_KEY, "COM3:"), "COM3: settings")


def case_nt_on_xp(case):
    case.make_medium()
    # Without the Windows key the default-printer value is skipped silently.
    with nt_case(case, "winxp", device_key=False) as wine:
        lines = case.probe(wine, "nt", "model=0", "default=1", *serial_args(6, 4, 0, 2, 1, 1))
        check_no_message(lines)
        reg = wine.registry()
        check_printer(reg, "TPX-58", "COM4:", "TPX-58")
        check_nt_driver(reg, wine, "TPX-58", "TPX58.DLL", "TPX58.GPD")
        check_nothing_staged(wine)
        check_equal("9600,e,7,1.5,x", reg.value(PORTS_KEY, "COM4:"), "COM4: settings")
        check(not reg.has_key(DEVICE_KEY), "the Windows key was created")


def case_nt_second_run(case):
    case.make_medium()
    with nt_case(case, "win7") as wine:
        lines = case.probe(wine, "nt", "model=0", "default=1", "port=0")
        check("AddPrinterA TPX-58 -> added" in lines, "first run: %r" % lines)
        lines = case.probe(wine, "nt", "model=0", "default=1", *serial_args(3, 5, 2, 3, 0, 2))
        check_no_message(lines)
        reg = wine.registry()
        # Windows refuses the existing printer, which then keeps its first
        # port; Wine 8 replaces it instead. Either way the run goes on and the
        # values are written again.
        refused = "AddPrinterA TPX-58 -> refused" in lines
        check_printer(reg, "TPX-58", "LPT1:" if refused else "COM1:", "TPX-58")
        check_nt_driver(reg, wine, "TPX-58", "TPX58.DLL", "TPX58.GPD")
        check_nothing_staged(wine)
        check_equal("TPX-58,winspool,COM1:", reg.value(DEVICE_KEY, "Device"), "Device value")
        check_equal("19200,n,8,1,p", reg.value(PORTS_KEY, "COM1:"), "COM1: settings")


def case_nt_no_medium(case):
    case.make_medium(nt_files=False)
    with nt_case(case, "win7") as wine:
        lines = case.probe(wine, "nt", "model=2", "default=1", *serial_args(4, 3, 4, 0, 2, 1))
        check_no_message(lines)
        reg = wine.registry()
        check_nothing_staged(wine)
        check_equal("TPX-80,winspool,COM2:", reg.value(DEVICE_KEY, "Device"), "Device value")
        check_equal("4800,s,5,2,x", reg.value(PORTS_KEY, "COM2:"), "COM2: settings")


def case_nt_printer_not_installed(case):
    """The spooler refuses the printer: its driver went in for the NT
    environment, while under a Windows 98 setting the spooler looks for
    printer drivers of "Windows 4.0". No "Device" value names the missing printer,
    the serial settings are stored, the staged files go and the user is
    told."""
    case.make_medium()
    with nt_case(case, "win98") as wine:
        lines = case.probe(wine, "nt", "model=2", "default=1", *serial_args(4, 5, 2, 3, 0, 2))
        check("AddPrinterA TPX-80 -> refused" in lines, "printer added: %r" % lines)
        reg = wine.registry()
        check(not reg.has_key(PRINTERS + "\\TPX-80"), "printer TPX-80 exists")
        check_equal(None, reg.value(DEVICE_KEY, "Device"), "Device value")
        check_equal("19200,n,8,1,p", reg.value(PORTS_KEY, "COM2:"), "COM2: settings")
        check_nothing_staged(wine)
        messages = [line for line in lines if line.startswith("MessageBoxA")]
        not_installed = "错误：无法安装打印机".encode("gbk").hex()
        check_equal(["MessageBoxA %s 0x30" % not_installed], messages, "messages")


def win9x_case(case, class_keys=True, com1=None):
    wine = case.prefix()
    registry = ['[HKEY_CURRENT_USER\\Software\\Wine]', '"Version"="win98"']
    if com1 is not None:
        registry += ['[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]',
                     '"COM1"="%s"' % com1.replace("\\", "\\\\")]
    if class_keys:
        registry += ["[HKEY_LOCAL_MACHINE\\" + CLASS_PORTS[5:] + "\\0000]",
                     "[HKEY_LOCAL_MACHINE\\" + CLASS_PORTS[5:] + "\\0001]"]
    # COM1's device is read when the server starts.
    wine.import_registry(registry, restart=com1 is not None)
    return wine


def check_no_dcb(reg):
    for key in ("0000", "0001"):
        check_equal(None, reg.value(CLASS_PORTS + "\\" + key, "DCB"), "DCB under " + key)


def case_win9x_parallel_default(case):
    case.make_medium()
    with win9x_case(case) as wine:
        # An installed unidrv.dll is never replaced.
        os.makedirs(wine.host_path(W9X_DIR), exist_ok=True)
        write(os.path.join(wine.host_path(W9X_DIR), "UNIDRV.DLL"), "installed")
        lines = case.probe(wine, "9x", "model=4", "port=2", "default=1")
        check_no_message(lines)
        reg = wine.registry()
        check_printer(reg, "TPX-90", "LPT3:", "TPX-90", default_attribute=True)
        key = W9X_DRIVERS + "\\TPX-90"
        check(reg.has_key(key), "9x driver is not registered")
        check_equal(0, reg.value(key, "Version"), "driver version")
        for field in ("Driver", "Data File", "Configuration File"):
            check_equal("TPX80.DLL.drv", reg.value(key, field), field)
        check_equal("UNIDRV.HLP", reg.value(key, "Help File"), "help file")
        check_equal("", reg.value(key, "Dependent Files", "").strip("\0"), "dependent files")
        check_equal({"tpx80.dll.drv", "iconlib.dll", "unidrv.dll", "unidrv.hlp"},
                    lower_set(wine.list_files(W9X_DIR)), "files in the driver directory")
        check_equal("installed", read(os.path.join(wine.host_path(W9X_DIR), "UNIDRV.DLL")),
                    "unidrv.dll")
        check_equal(sample_content("iconlib.dll"),
                    read(os.path.join(wine.host_path(W9X_DIR), "iconlib.dll")), "iconlib.dll")
        check_no_dcb(reg)


def serial_9x(case, port_args, expected_key, expected_dcb, printer_port):
    """`expected_key` None: no DCB may be written anywhere."""
    case.make_medium()
    with SerialLine(case.folder) as line, win9x_case(case, com1=line.device) as wine:
        lines = case.probe(wine, "9x", "model=1", *port_args)
        check_no_message(lines)
        reg = wine.registry()
        check_printer(reg, "TPX-58C", printer_port, "TPX-58C")
        if expected_key is None:
            check_no_dcb(reg)
            return
        data = reg.value(CLASS_PORTS + "\\" + expected_key, "DCB")
        check(isinstance(data, bytes), "no DCB under " + expected_key)
        check_equal(Registry.REG_BINARY,
                    reg.values(CLASS_PORTS + "\\" + expected_key)["DCB"][0], "DCB type")
        check_equal(dict(expected_dcb, DCBlength=28), dcb_fields(data), "DCB")
        other = "0001" if expected_key == "0000" else "0000"
        check_equal(None, reg.value(CLASS_PORTS + "\\" + other, "DCB"), "DCB under " + other)


def case_win9x_serial_com1(case):
    serial_9x(case, serial_args(3, 5, 2, 3, 0, 2), "0000",
              {"BaudRate": 19200, "lowFlags": 0x2015, "ByteSize": 8, "Parity": 0,
               "StopBits": 0}, "COM1:")


def case_win9x_serial_com2_line(case):
    # Odd parity (row 3) turns parity checking on; two stop bits are row 2.
    serial_9x(case, serial_args(4, 4, 3, 2, 2, 1), "0001",
              {"BaudRate": 9600, "lowFlags": 0x0313, "ByteSize": 7, "Parity": 1,
               "StopBits": 2}, "COM2:")


def case_win9x_serial_com3(case):
    # Neither class key belongs to COM3: both stay as they were.
    serial_9x(case, serial_args(5, 4, 3, 2, 2, 1), None, None, "COM3:")


def case_win9x_serial_no_class_key(case):
    case.make_medium()
    with SerialLine(case.folder) as line, \
            win9x_case(case, class_keys=False, com1=line.device) as wine:
        lines = case.probe(wine, "9x", "model=0", *serial_args(4, 5, 2, 3, 0, 2))
        check_no_message(lines)
        reg = wine.registry()
        check_printer(reg, "TPX-58", "COM2:", "TPX-58")
        check(not reg.has_key(CLASS_PORTS + "\\0001"), "the class key was created")


def case_win9x_serial_no_com1(case):
    case.make_medium()
    with win9x_case(case, com1=os.path.join(case.folder, "no-such-port")) as wine:
        lines = case.probe(wine, "9x", "model=0", *serial_args(3, 5, 2, 3, 0, 2))
        check_no_message(lines)
        check_no_dcb(wine.registry())


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--template", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    options = parser.parse_args()
    if not os.path.exists(options.probe):
        print("missing %s: build the mingw preset and point SPOOLRIG_WIN32_BUILD_DIR at it"
              % options.probe, file=sys.stderr)
        return 1
    CASES[options.case](Case(options, options.case))
    print("passed: " + options.case)
    return 0


if __name__ == "__main__":
    sys.exit(main())
