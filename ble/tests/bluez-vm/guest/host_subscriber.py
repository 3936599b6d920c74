#!/usr/bin/python3
"""Another program on the central's host, as a GATT browser or a
printer-status app is: through bluetoothd's D-Bus API only, it subscribes
(StartNotify) to a characteristic of the LE device with a given address,
connecting it first if nobody has (with --connect), and keeps its
subscription until it is ended. Prints "subscribed" or "refused ERROR: TEXT"
and then stays, holding its bus connection (bluetoothd ends a client's
subscriptions when it leaves the bus)."""

import argparse
import signal
import sys

import dbus
from gi.repository import GLib

from connect_central import device_path, wait

BLUEZ = "org.bluez"


def characteristic_path(manager, device, uuid):
    for path, ifaces in manager.GetManagedObjects().items():
        chrc = ifaces.get("org.bluez.GattCharacteristic1")
        if chrc and str(path).startswith(device + "/") and str(chrc.get("UUID", "")).lower() == uuid:
            return str(path)
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--adapter", default="hci0")
    parser.add_argument("--address", required=True)
    parser.add_argument("--uuid", default="0000ff11-0000-1000-8000-00805f9b34fb")
    parser.add_argument("--connect", action="store_true")
    parser.add_argument("--limit", type=float, default=120)
    args = parser.parse_args()
    address = args.address.upper()

    import dbus.mainloop.glib
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    adapter_path = f"/org/bluez/{args.adapter}"
    manager = dbus.Interface(bus.get_object(BLUEZ, "/"), "org.freedesktop.DBus.ObjectManager")
    if args.connect:
        adapter = dbus.Interface(bus.get_object(BLUEZ, adapter_path), "org.bluez.Adapter1")
        adapter.SetDiscoveryFilter({"Transport": "le"})
        adapter.StartDiscovery()
        try:
            path = wait(f"{address} in discovery", args.limit, lambda: device_path(manager, adapter_path, address))
        finally:
            adapter.StopDiscovery()
        dbus.Interface(bus.get_object(BLUEZ, path), "org.bluez.Device1").Connect(timeout=args.limit)
    else:
        path = wait(f"{address}", args.limit, lambda: device_path(manager, adapter_path, address))
    chrc = wait(f"{args.uuid} under {path}", args.limit, lambda: characteristic_path(manager, path, args.uuid))
    try:
        dbus.Interface(bus.get_object(BLUEZ, chrc), "org.bluez.GattCharacteristic1").StartNotify(timeout=args.limit)
        print("subscribed", flush=True)
    except dbus.DBusException as e:
        print(f"refused {e.get_dbus_name()}: {e.get_dbus_message()}", flush=True)
    loop = GLib.MainLoop()
    signal.signal(signal.SIGTERM, lambda *_: loop.quit())
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
