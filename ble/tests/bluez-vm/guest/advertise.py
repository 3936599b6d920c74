#!/usr/bin/python3
"""Advertises as a connectable LE peripheral on one adapter through
bluetoothd's LEAdvertisingManager1, until killed.

btvirt sends one advertising report per scan start, so a central that starts
scanning while the same advertisement stays on may wait 10-20 s to see it.
Two advertisements of one second each make bluetoothd rotate them, and every
switch is new advertising data the central sees at once."""

import argparse
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

ADVERTISEMENT = "org.bluez.LEAdvertisement1"


class Advertisement(dbus.service.Object):
    def __init__(self, bus, path, name, uuid, duration):
        super().__init__(bus, path)
        self.properties = {
            "Type": dbus.String("peripheral"),
            "LocalName": dbus.String(name),
            "ServiceUUIDs": dbus.Array([uuid], signature="s"),
            "Duration": dbus.UInt16(duration),
        }

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.properties if interface == ADVERTISEMENT else {}

    @dbus.service.method(ADVERTISEMENT)
    def Release(self):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--adapter", default="hci1")
    parser.add_argument("--name", default="quillon-vm")
    parser.add_argument("--uuid", default="0000feed-0000-1000-8000-00805f9b34fb")
    parser.add_argument("--count", type=int, default=2, help="advertisements to rotate")
    args = parser.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    manager = dbus.Interface(bus.get_object("org.bluez", f"/org/bluez/{args.adapter}"),
                             "org.bluez.LEAdvertisingManager1")
    loop = GLib.MainLoop()
    adverts = [Advertisement(bus, f"/quillon/advertisement{i}", args.name, args.uuid, 1)
               for i in range(args.count)]
    pending = [len(adverts)]

    def registered():
        pending[0] -= 1
        if pending[0] == 0:
            print("advertising", flush=True)

    def failed(error):
        print(f"RegisterAdvertisement failed: {error}", file=sys.stderr, flush=True)
        loop.quit()
        sys.exit(1)

    for advert in adverts:
        manager.RegisterAdvertisement(advert, dbus.Dictionary({}, signature="sv"),
                                      reply_handler=registered, error_handler=failed)
    loop.run()
    return 1


if __name__ == "__main__":
    sys.exit(main())
