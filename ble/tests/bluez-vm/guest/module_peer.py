#!/usr/bin/python3
"""Printer data modules on the guest's emulated controllers, for the
conformance suite's world over the real bluetoothd: module N lives on hciN,
as a GATT application and LE advertisements registered with bluetoothd
(GattManager1, LEAdvertisingManager1), offering what the BlueZ stand-in's
devices offer: name "KSV-Module-N", service FF00 (FF01 notify, FF02 write
and write-without-response, FF03 read/notify value 01) and FF10 (FF11
write-without-response and notify), service data FF10 = 01 N.

The system bus lets root call only a few interfaces of a client that owns no
name, org.freedesktop.DBus.Properties among them; so the levers a test pulls
are properties of org.quillon.ModulePeer1 at /quillon/moduleN:
  Received     ay  read   what was written to FF02, in order (set: forgotten)
  Advertising  b   write  false: the module is no longer heard
  Connectable  b   write  false: it is heard, but takes no connection
  Notification ay  write  sent on FF01 if the central subscribed to it
Prints "ready UNIQUE-BUS-NAME" once every module is registered.

Usage: module_peer.py --modules N
"""

import argparse
import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BLUEZ = "org.bluez"
BASE = "-0000-1000-8000-00805f9b34fb"
PROPS = "org.freedesktop.DBus.Properties"
OM = "org.freedesktop.DBus.ObjectManager"
SERVICE = "org.bluez.GattService1"
CHAR = "org.bluez.GattCharacteristic1"
ADVERTISEMENT = "org.bluez.LEAdvertisement1"
CONTROL = "org.quillon.ModulePeer1"
# btvirt sends an advertising report when a scan starts and when an
# advertising set is enabled, never again while both stay on. A module must
# be heard over and over (a scan that allows duplicates, and the kernel's
# connection to a known device, which waits for an advertisement of it), so
# beside the advertisement that stays on it adds a short one again and again,
# while it has no link (a linked module need not be heard).
# Added, then removed, each for this long. The module removes it itself:
# bluetoothd 5.66 removing one whose Timeout ran out corrupted its heap
# (after a Remove Advertising that the kernel answered Invalid Parameters).
PULSE_MS = 700


def uuid16(short):
    return "0000%04x%s" % (short, BASE)


class Failed(dbus.DBusException):
    _dbus_error_name = "org.bluez.Error.Failed"


class Characteristic(dbus.service.Object):
    def __init__(self, module, service, short, flags, value=b""):
        self.path = "%s/char%04x" % (service.path, short)
        super().__init__(module.bus, self.path)
        self.module, self.service, self.short, self.flags = module, service, short, flags
        self.value = bytes(value)
        self.notifying = False

    def properties(self):
        return {CHAR: {"UUID": uuid16(self.short), "Service": dbus.ObjectPath(self.service.path),
                       "Flags": dbus.Array(self.flags, signature="s")}}

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.properties().get(interface, {})

    @dbus.service.method(CHAR, in_signature="a{sv}", out_signature="ay")
    def ReadValue(self, options):
        return dbus.Array(self.value, signature="y")

    @dbus.service.method(CHAR, in_signature="aya{sv}")
    def WriteValue(self, value, options):
        if self.short == 0xFF02:
            self.module.received += bytes(value)

    @dbus.service.method(CHAR)
    def StartNotify(self):
        self.notifying = True

    @dbus.service.method(CHAR)
    def StopNotify(self):
        self.notifying = False

    def notify(self, data):
        self.value = bytes(data)
        if self.notifying:
            self.PropertiesChanged(CHAR, {"Value": dbus.Array(self.value, signature="y")}, [])

    @dbus.service.signal(PROPS, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass


class Service(dbus.service.Object):
    def __init__(self, module, short):
        self.path = "%s/service%04x" % (module.path, short)
        super().__init__(module.bus, self.path)
        self.short = short

    def properties(self):
        return {SERVICE: {"UUID": uuid16(self.short), "Primary": True}}

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.properties().get(interface, {})


class Advertisement(dbus.service.Object):
    def __init__(self, module, pulse):
        self.path = "%s/%s" % (module.path, "pulse" if pulse else "advertisement")
        super().__init__(module.bus, self.path)
        self.module, self.pulse = module, pulse

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != ADVERTISEMENT:
            return {}
        number = self.module.number
        properties = {
            # A broadcaster is heard but cannot be connected to.
            "Type": "peripheral" if self.module.connectable else "broadcast",
            "LocalName": "KSV-Module-%d" % number,
            "ServiceUUIDs": dbus.Array([uuid16(0xFF00), uuid16(0xFF10)], signature="s"),
            "ServiceData": dbus.Dictionary({uuid16(0xFF10): dbus.Array([0x01, number], signature="y")},
                                           signature="sv"),
        }
        if self.module.connectable:
            properties["Discoverable"] = True  # bluetoothd refuses it for a broadcaster
        return properties

    @dbus.service.method(ADVERTISEMENT)
    def Release(self):
        pass


class Slot:
    """One advertisement's registration with bluetoothd, brought to what the
    module wants one step at a time: bluetoothd 5.66 frees an advertisement
    twice (and aborts) when it is unregistered while its registration is
    still in progress."""

    def __init__(self, module, advert, refused):
        self.module, self.advert, self.refused = module, advert, refused
        self.state = "idle"  # registering, registered, unregistering
        self.want = False
        self.stale = False  # registered with properties that changed since
        self.on_registered = None

    def settled(self):
        return self.state == ("registered" if self.want else "idle") and not self.stale

    def set(self, want):
        self.want = want
        self.sync()

    def sync(self):
        manager = self.module.ad_manager
        if self.state == "idle":
            self.stale = False  # nothing registered to be out of date
        if self.state == "registered" and (not self.want or self.stale):
            self.state = "unregistering"
            manager.UnregisterAdvertisement(self.advert.path, reply_handler=self.idle,
                                            error_handler=lambda e: self.idle())
        elif self.state == "idle" and self.want:
            self.state, self.stale = "registering", False
            manager.RegisterAdvertisement(self.advert.path, {}, reply_handler=self.registered,
                                          error_handler=self.failed)
        self.module.slot_changed()

    def registered(self):
        self.state = "registered"
        if self.on_registered:
            self.on_registered()
            self.on_registered = None
        self.sync()

    def failed(self, error):
        self.state = "idle"
        self.want = self.refused(error)
        self.sync()

    def idle(self):
        self.state = "idle"
        self.sync()


class Module(dbus.service.Object):
    """The GATT application (its ObjectManager) and the test's levers."""

    def __init__(self, bus, number, ready, failed):
        self.bus, self.number = bus, number
        self.objects = dbus.Interface(bus.get_object(BLUEZ, "/"), OM)
        self.path = "/quillon/module%d" % number
        super().__init__(bus, self.path)
        self.adapter = "/org/bluez/hci%d" % number
        self.received = bytearray()
        self.advertising = True
        self.connectable = True
        self.waiting = []  # replies to levers, sent once the advertisements are as asked
        data, ota = Service(self, 0xFF00), Service(self, 0xFF10)
        self.chars = {
            0xFF01: Characteristic(self, data, 0xFF01, ["notify"]),
            0xFF02: Characteristic(self, data, 0xFF02, ["write", "write-without-response"]),
            0xFF03: Characteristic(self, data, 0xFF03, ["read", "notify"], b"\x01"),
            0xFF11: Characteristic(self, ota, 0xFF11, ["write-without-response", "notify"]),
        }
        self.gatt = [data, ota] + list(self.chars.values())
        adapter = bus.get_object(BLUEZ, self.adapter)
        # The central reads the GAP name once connected: it must be the advertised one.
        dbus.Interface(adapter, PROPS).Set("org.bluez.Adapter1", "Alias", "KSV-Module-%d" % number)
        self.gatt_manager = dbus.Interface(adapter, "org.bluez.GattManager1")
        self.ad_manager = dbus.Interface(adapter, "org.bluez.LEAdvertisingManager1")
        self.gatt_manager.RegisterApplication(self.path, {}, reply_handler=ready,
                                              error_handler=lambda e: failed("RegisterApplication", e))

        def lasting_refused(error):
            if self.lasting.on_registered:  # the module could not be made at all
                failed("RegisterAdvertisement", error)
            # bluetoothd may still be removing the last one: again at the next tick.
            return False

        self.lasting = Slot(self, Advertisement(self, pulse=False), lasting_refused)
        self.pulse = Slot(self, Advertisement(self, pulse=True), lambda error: False)
        self.lasting.on_registered = ready
        self.lasting.set(True)
        GLib.timeout_add(PULSE_MS, self.tick)

    def tick(self):
        if self.lasting.state == "idle" and self.advertising:
            self.lasting.set(True)
        if self.pulse.state == "registered":
            self.pulse.set(False)
        elif self.pulse.state == "idle" and self.advertising and not self.linked():
            self.pulse.set(True)
        return True

    def linked(self):
        for interfaces in self.objects.GetManagedObjects().values():
            device = interfaces.get("org.bluez.Device1")
            if device and device.get("Adapter") == self.adapter and device.get("Connected"):
                return True
        return False

    def slot_changed(self):
        if self.waiting and self.lasting.settled() and self.pulse.state in ("idle", "registered"):
            waiting, self.waiting = self.waiting, []
            for reply in waiting:
                reply()

    @dbus.service.method(OM, out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        return {obj.path: obj.properties() for obj in self.gatt}

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface == CONTROL and name == "Received":
            return dbus.Array(bytes(self.received), signature="y")
        if interface == CONTROL and name in ("Advertising", "Connectable"):
            return dbus.Boolean(getattr(self, name.lower()))
        raise Failed("no property %s.%s" % (interface, name))

    @dbus.service.method(PROPS, in_signature="ssv", async_callbacks=("reply", "error"))
    def Set(self, interface, name, value, reply, error):
        if interface != CONTROL:
            error(Failed("no interface %s" % interface))
            return
        if name in ("Advertising", "Connectable"):
            # Answered once bluetoothd has the advertisements as asked.
            setattr(self, name.lower(), bool(value))
            self.waiting.append(reply)
            # bluetoothd reads an advertisement's properties when it is registered.
            for slot in (self.lasting, self.pulse):
                slot.stale = slot.stale or name == "Connectable"
            if not self.advertising:
                self.pulse.set(False)
            self.lasting.set(self.advertising)
            return
        if name == "Received":
            self.received = bytearray()
        elif name == "Notification":
            self.chars[0xFF01].notify(bytes(value))
        else:
            error(Failed("no writable property %s" % name))
            return
        reply()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--modules", type=int, required=True)
    args = parser.parse_args()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    loop = GLib.MainLoop()
    # One application and one lasting advertisement per module.
    pending = [args.modules * 2]

    def ready():
        pending[0] -= 1
        if pending[0] == 0:
            print("ready", bus.get_unique_name(), flush=True)

    def failed(what, error):
        print("module_peer: %s failed: %s" % (what, error), file=sys.stderr, flush=True)
        os._exit(1)  # from a callback, where SystemExit would be swallowed

    modules = [Module(bus, n, ready, failed) for n in range(1, args.modules + 1)]
    loop.run()
    return modules


if __name__ == "__main__":
    main()
    sys.exit(1)
