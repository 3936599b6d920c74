#!/usr/bin/python3
"""From one adapter, through bluetoothd's D-Bus API only: discovers the LE
device with a given address, connects to it and waits until its services are
resolved. Prints "discovery SECONDS" and "connect SECONDS"; exits 1 with the
step that failed.

Discovery is stopped before Connect: connecting while bluetoothd still scans
took about ten seconds longer."""

import argparse
import sys
import time

import dbus

BLUEZ = "org.bluez"


def log(text):
    print(text, file=sys.stderr, flush=True)


def device_path(manager, adapter_path, address):
    for path, ifaces in manager.GetManagedObjects().items():
        device = ifaces.get("org.bluez.Device1")
        if device and str(path).startswith(adapter_path + "/") and \
                str(device.get("Address", "")).upper() == address:
            return str(path)
    return None


def wait(what, limit, check):
    deadline = time.monotonic() + limit
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {limit} s waiting for {what}")
        time.sleep(0.2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--adapter", default="hci0")
    parser.add_argument("--address", required=True)
    # Limits for hangs only: a guest without KVM is several times slower.
    parser.add_argument("--limit", type=float, default=120)
    args = parser.parse_args()
    address = args.address.upper()

    bus = dbus.SystemBus()
    adapter_path = f"/org/bluez/{args.adapter}"
    manager = dbus.Interface(bus.get_object(BLUEZ, "/"), "org.freedesktop.DBus.ObjectManager")
    adapter = dbus.Interface(bus.get_object(BLUEZ, adapter_path), "org.bluez.Adapter1")

    started = time.monotonic()
    adapter.SetDiscoveryFilter({"Transport": "le", "DuplicateData": dbus.Boolean(True)})
    adapter.StartDiscovery()
    try:
        path = wait(f"{address} in discovery", args.limit,
                    lambda: device_path(manager, adapter_path, address))
    finally:
        adapter.StopDiscovery()
    print(f"discovery {time.monotonic() - started:.2f}", flush=True)
    log(f"found {path}")

    started = time.monotonic()
    device = dbus.Interface(bus.get_object(BLUEZ, path), "org.bluez.Device1")
    properties = dbus.Interface(bus.get_object(BLUEZ, path), dbus.PROPERTIES_IFACE)
    device.Connect(timeout=args.limit)
    # ServicesResolved may have turned true before we look, without a signal
    # we could have missed: so read it, not wait for its change.
    wait("ServicesResolved", args.limit,
         lambda: properties.Get("org.bluez.Device1", "ServicesResolved"))
    if not properties.Get("org.bluez.Device1", "Connected"):
        raise RuntimeError("services resolved but the device is not connected")
    print(f"connect {time.monotonic() - started:.2f}", flush=True)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (TimeoutError, RuntimeError, dbus.DBusException) as e:
        log(f"connect_central: {e}")
        sys.exit(1)
