#!/usr/bin/python3
"""Waits until bluetoothd serves the expected number of adapters, all powered
(hci0..hciN-1), and exits 0; exits 1 with what was missing at the deadline."""

import argparse
import sys
import time

import dbus


def missing(bus, controllers):
    try:
        manager = dbus.Interface(bus.get_object("org.bluez", "/"),
                                 "org.freedesktop.DBus.ObjectManager")
        objects = manager.GetManagedObjects()
    except dbus.DBusException as e:
        return f"org.bluez does not answer ({e.get_dbus_name()})"
    adapters = {str(path): ifaces["org.bluez.Adapter1"] for path, ifaces in objects.items()
                if "org.bluez.Adapter1" in ifaces}
    for index in range(controllers):
        path = f"/org/bluez/hci{index}"
        if path not in adapters:
            return f"no adapter {path} (have {sorted(adapters)})"
        if not adapters[path].get("Powered"):
            return f"{path} is not powered"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--controllers", type=int, required=True)
    parser.add_argument("--timeout", type=float, required=True)
    args = parser.parse_args()
    bus = dbus.SystemBus()
    deadline = time.monotonic() + args.timeout
    while True:
        what = missing(bus, args.controllers)
        if what is None:
            return 0
        if time.monotonic() > deadline:
            print(f"bluetoothd not ready after {args.timeout:.0f} s: {what}", file=sys.stderr)
            return 1
        time.sleep(0.2)


if __name__ == "__main__":
    sys.exit(main())
