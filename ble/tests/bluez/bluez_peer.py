#!/usr/bin/python3
"""A stand-in for bluetoothd on a private bus, for the BlueZ backend's tests.

It owns org.bluez and exports what BlueZ's D-Bus API documents for a central:
the ObjectManager at "/", an adapter (org.bluez.Adapter1) and, once discovery
has started, device objects (org.bluez.Device1) with their GATT services and
characteristics (GattService1, GattCharacteristic1) exported from the first
connection until the device goes (bluetoothd keeps them, and every client's
subscriptions, across a disconnect), with Properties.PropertiesChanged for
every change. Each device is
a printer data module: FF00 (FF01 notify, FF02 write with and without
response, FF03 read/notify; AcquireWrite on FF02 and FF11, as bluetoothd
offers it on every characteristic written without response) and
FF10 (FF11 write-without-response/notify) behind which a
module speaks the module's side of the OTA protocol, faults included, and,
when --info gives it any string, the Device Information service 180A (read
only). After an update the module accepted, its firmware revision (2A26) is
the version tagged in the image ("QVER:" VERSION NUL, the first one; empty
without a tag), as real firmware reports after its restart. Before that
180A comes a second one with only the PnP ID (2A50), as bluetoothd adds its
own to every module that a BlueZ host serves (quillon-module's included).

Like bluetoothd, it does not signal that a device became connected (see
Device.Connect); the link's end is signalled. As bluetoothd, it emits one
Value PropertiesChanged per StartNotify subscriber for every notification,
and offers AcquireNotify on characteristics that notify: a socket of one
client's own, refused while any client holds StartNotify (InProgress) or
another holds the socket ("Notify acquired"), refusing StartNotify while
held, answered after the descriptor write and closed with the link. With
--late-services MS the OTA service's objects are announced (InterfacesAdded)
MS milliseconds after ServicesResolved, though GetManagedObjects lists them
at once, as bluetoothd's idle-time announcements can make them arrive.

What it does not model: pairing, agents, bonding, LE advertising reports
(devices appear when discovery starts), address types, indications,
descriptors, the ATT MTU negotiation (every characteristic
reports the fixed --att-mtu, and PDUs longer than it allows are dropped as
bluetoothd drops them), discovery filters other than the UUID list, and the cache of devices
across restarts.

Tests steer it over org.quillon.TestPeer1 at /test (add or remove devices,
make a device drop its link, refuse connections or go out of range, make
the controller refuse to discover, read
what a module received, pause the reader of FF11's write socket so that it
fills, answer StartNotify late or with an error, hold the answers to
StartDiscovery or AcquireWrite and give them later or refuse them, read the
discovery calls made).

For a program that plays the module (a GATT server), the adapter also offers
GattManager1.RegisterApplication and LEAdvertisingManager1.RegisterAdvertisement
as bluetoothd does: it reads the application's objects with GetManagedObjects
and the advertisement's properties before it answers, and refuses a malformed
application (org.bluez.Error.InvalidArguments naming the object and property,
org.bluez.Error.Failed when no service is valid) or advertisement
(org.bluez.Error.Failed). TestPeer1.Application gives the registered
application's owner and root, so a test can call it as a remote central's
writes would reach it; TestPeer1.Advertisements gives what each registered
advertisement said. It neither serves the application to devices nor sends
the advertisements anywhere.
It prints "ready" on standard output once it owns its name.

Devices are numbered from 1: device N is "KSV-Module-N" at AA:BB:CC:DD:EE:NN.
Each has a module of its own (what it received, its faults, its write socket),
so several can be connected and updated at once. A fault given as N:NAME
applies to device N only; a fault without a number applies to every device.

Usage: bluez_peer.py [--devices N] [--fault [N:]NAME[=VALUE]]... [--mtu N]
       [--credit N] [--window N] [--start-result N] [--no-module]
       [--refuse-registration ERROR] [--paired] [--att-mtu N] [--refuse-discovery]
       [--disconnect-delay MS] [--adapter NAME] [--dual-mode N]...
       [--preferred-bearer] [--late-services MS] [--info [N:]FIELD=VALUE]...
       [--info-fault [N:]FAULT]... [--rssi-unavailable N]...

--info FIELD=VALUE gives device N (or every device) a Device Information
string; FIELD is manufacturer (2A29), model (2A24), serial (2A25), hardware
(2A27), firmware (2A26) or software (2A28); VALUE is taken byte for byte.
--info-fault makes the reads of those strings fail: refuse (every read
answers org.bluez.Error.NotPermitted), slow=MS (each read is answered after
MS milliseconds) or drop (the link drops at the first read).
"""
import argparse
import os
import socket
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BASE = "-0000-1000-8000-00805f9b34fb"
OM = "org.freedesktop.DBus.ObjectManager"
PROPS = "org.freedesktop.DBus.Properties"
ADAPTER = "org.bluez.Adapter1"
DEVICE = "org.bluez.Device1"
SERVICE = "org.bluez.GattService1"
CHAR = "org.bluez.GattCharacteristic1"
CONTROL = "org.quillon.TestPeer1"
GATT_MANAGER = "org.bluez.GattManager1"
ADV_MANAGER = "org.bluez.LEAdvertisingManager1"
ADVERTISEMENT = "org.bluez.LEAdvertisement1"
# The characteristic flags bluetoothd accepts from an application.
CHAR_FLAGS = {"broadcast", "read", "write-without-response", "write", "notify", "indicate",
              "authenticated-signed-writes", "extended-properties", "reliable-write", "writable-auxiliaries",
              "encrypt-read", "encrypt-write", "encrypt-authenticated-read", "encrypt-authenticated-write",
              "secure-read", "secure-write", "authorize"}
MAX_ADVERTISEMENTS = 4


def uuid16(short):
    return "0000%04x%s" % (short, BASE)


class BluezError(dbus.DBusException):
    def __init__(self, name, message):
        super().__init__(message, name="org.bluez.Error." + name)


# --- the module's side of the OTA protocol ------------------------------------

NUMBERED = ("corrupt-ack", "drop-ack", "unknown-ack", "silent")


def calc_sum(data):
    return (sum(data)) & 0xFF


INFO_FIELDS = {"manufacturer": 0x2A29, "model": 0x2A24, "serial": 0x2A25, "hardware": 0x2A27,
               "firmware": 0x2A26, "software": 0x2A28}
VERSION_TAG = b"QVER:"
MAX_VERSION = 128


def version_tag(image):
    """The version the image is tagged with: the first "QVER:" VERSION NUL
    whose VERSION is at most MAX_VERSION bytes; b"" without one."""
    at = image.find(VERSION_TAG)
    while at >= 0:
        start = at + len(VERSION_TAG)
        end = image.find(b"\0", start, start + MAX_VERSION + 1)
        if end >= 0:
            return bytes(image[start:end])
        at = image.find(VERSION_TAG, at + 1)
    return b""


class OtaModule:
    """Answers START, DATA and END as the simulated module of the library does."""

    def __init__(self, args, number):
        self.mtu, self.credit, self.window = args.mtu, args.credit, args.window
        self.start_result = args.start_result
        # As quillon-ota's --fault names them; a numbered fault without a
        # number means 0. Those aimed at another device are not this one's.
        self.faults = {name: value or ("0" if name in NUMBERED else value)
                       for device, name, value in args.fault or [] if device in (None, number)}
        self.output = None
        # Called with the image's version tag once the module accepted an image.
        self.installed = None
        self.received = 0
        self.image = bytearray()
        self.reset()

    def reset(self):
        self.started = False
        self.bad_sum = False
        self.violations = []
        self.expected = 0
        self.window_left = 0
        self.announced = 0
        self.acks = 0
        self.image = bytearray()

    def fault(self, name):
        return self.faults.get(name)

    def emit(self, packet):
        split = int(self.fault("split") or 0)
        if self.fault("merge") is not None:
            self.merged += packet
            return
        step = split or len(packet)
        for at in range(0, len(packet), step):
            self.output(bytes(packet[at:at + step]))

    def ack(self, packet):
        number = self.acks
        self.acks += 1
        if self.fault("drop-ack") == str(number):
            return
        if self.fault("unknown-ack") == str(number):
            packet[1] = 0xF7
            packet[-1] = calc_sum(packet[:-1])
        if self.fault("corrupt-ack") == str(number):
            packet[-1] = (packet[-1] + 1) & 0xFF
        self.emit(packet)

    def receive(self, packet):
        self.received += 1
        self.merged = bytearray()
        silent_after = self.fault("silent")
        silent = silent_after is not None and self.received > int(silent_after)
        if len(packet) >= 4 and calc_sum(packet[:-1]) != packet[-1]:
            self.bad_sum = True
            self.violations.append("bad checksum")
        op = packet[0] if packet else 0
        if op == 0xF1 and len(packet) == 7:
            bad, count = self.bad_sum, self.received
            self.reset()
            self.bad_sum, self.started = bad, True
            self.announced = int.from_bytes(packet[2:6], "little")
            self.window_left = self.credit
            if not silent:
                body = [0xFC, 0xF1, self.start_result, self.mtu, self.credit]
                self.ack(bytearray(body + [calc_sum(body)]))
        elif op == 0xF2 and len(packet) >= 4:
            index = int.from_bytes(packet[1:3], "little")
            if not self.started or index != self.expected:
                self.violations.append("index")
            self.expected = (index + 1) & 0xFFFF
            self.image += packet[3:-1]
            if self.window_left > 0:
                self.window_left -= 1
                if self.window_left == 0:
                    self.window_left = self.window
                    if not silent:
                        body = [0xFC, 0xF2, 0, index & 0xFF, index >> 8]
                        self.ack(bytearray(body + [calc_sum(body)]))
        elif op == 0xF3 and len(packet) == 4:
            verdict = 0
            if self.bad_sum:
                verdict = 3
            elif not self.started or self.violations or len(self.image) != self.announced:
                verdict = 1
            if verdict == 0 and self.installed:
                self.installed(version_tag(self.image))
            if not silent:
                if self.fault("ack-end") is not None:
                    self.emit(bytearray([0xFC, 0xF3]))
                end = [0xF3, 1, verdict]
                end = bytearray(end + [calc_sum(end)])
                if self.fault("corrupt-end") is not None:
                    end[-1] = (end[-1] + 1) & 0xFF
                self.emit(end)
        else:
            self.violations.append("unknown packet")
        if self.merged:
            self.output(bytes(self.merged))


# --- exported objects -------------------------------------------------------------

class Object(dbus.service.Object):
    """An object with BlueZ-style properties on one interface."""

    def __init__(self, peer, path, interface, props):
        super().__init__(peer.bus, path)
        self.peer, self.path, self.interface, self.props = peer, path, interface, props

    def managed(self):
        return {self.interface: self.props}

    def set(self, name, value):
        self.props[name] = value
        self.PropertiesChanged(self.interface, {name: value}, [])

    @dbus.service.method(PROPS, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if name not in self.props:
            raise BluezError("InvalidArguments", "No such property")
        return self.props[name]

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.props if interface == self.interface else {}

    @dbus.service.method(PROPS, in_signature="ssv")
    def Set(self, interface, name, value):
        if interface == ADAPTER and name == "Powered":
            self.peer.set_powered(bool(value))
            return
        if interface == DEVICE and name == "PreferredBearer" and name in self.props:
            if str(value) not in ("last-used", "le", "bredr", "last-seen"):
                raise BluezError("InvalidArguments", "Invalid arguments in method call")
            self.set(name, dbus.String(value))
            return
        raise BluezError("NotPermitted", "Read-only property")

    @dbus.service.signal(PROPS, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass


class Characteristic(Object):
    def __init__(self, device, service_path, short, flags, value=b"", acquire=False):
        path = "%s/char%04x" % (service_path, short)
        props = {"UUID": uuid16(short), "Service": dbus.ObjectPath(service_path),
                 "Flags": dbus.Array(flags, signature="s"),
                 "Value": dbus.Array(value, signature="y"), "Notifying": False,
                 "MTU": dbus.UInt16(device.peer.args.att_mtu)}
        if acquire:
            props["WriteAcquired"] = False
        # As bluetoothd: offered on every characteristic that notifies.
        if "notify" in flags:
            props["NotifyAcquired"] = False
        super().__init__(device.peer, path, CHAR, props)
        self.device, self.short = device, short
        self.sock = None
        self.watch = None
        # A paused reader leaves the socket unread, so that it fills as
        # behind a slow link, and does not notice its writer hanging up.
        self.paused = False
        # The write request under way, as bluetoothd's write_op: until it is
        # answered, every other WriteValue on this characteristic is refused.
        self.write_op = False
        self.notify_pending = False
        # The clients (bus names) subscribed with StartNotify. As bluetoothd,
        # a subscription outlives the link (it is made again on the next
        # one) and ends with StopNotify or when its client leaves the bus.
        # Each subscriber's registration emits its own PropertiesChanged for
        # every notification, so every client hears each value once per
        # subscriber.
        self.subscribers = set()
        # AcquireNotify's socket (our end): one client's alone, while held
        # every other subscription is refused; it closes with the link.
        self.notify_sock = None
        self.notify_watch = None

    def check(self):
        if not self.device.props["Connected"]:
            raise BluezError("Failed", "Not connected")

    @dbus.service.method(CHAR, in_signature="a{sv}", out_signature="ay", async_callbacks=("reply", "error"))
    def ReadValue(self, options, reply, error):
        self.check()
        if "read" not in self.props["Flags"]:
            raise BluezError("NotPermitted", "Read not permitted")
        value = dbus.Array(self.props["Value"], signature="y")
        fault = self.device.info_fault if self.short in INFO_FIELDS.values() else None
        if fault == "refuse":
            raise BluezError("NotPermitted", "Read not permitted")
        if fault == "drop":
            self.device.drop()
            raise BluezError("Failed", "Not connected")
        if fault and fault.startswith("slow="):
            link = self.device.link

            def answer():
                if self.device.props["Connected"] and self.device.link == link:
                    reply(value)
                else:
                    error(BluezError("Failed", "Not connected"))
                return False
            GLib.timeout_add(int(fault[5:]), answer)
            return
        reply(value)

    @dbus.service.method(CHAR, in_signature="aya{sv}", async_callbacks=("reply", "error"))
    def WriteValue(self, value, options, reply, error):
        self.check()
        kind = str(options.get("type", "request"))
        needed = "write" if kind == "request" else "write-without-response"
        if needed not in self.props["Flags"]:
            raise BluezError("NotPermitted", "Write not permitted")
        # As bluetoothd: while a client holds the write socket, WriteValue
        # is refused (for a "command" nobody hears of it).
        if self.sock:
            raise BluezError("NotPermitted", "Write acquired")
        # Checked before the type, so a "command" is refused too.
        if self.write_op:
            raise BluezError("InProgress", "In Progress")
        # A write with response may be a long write (up to 512 bytes); any
        # other PDU longer than the ATT MTU is refused, and the client of a
        # "command" never hears of it, having asked for no reply.
        if len(value) > (512 if kind == "request" else self.peer.args.att_mtu - 3):
            raise BluezError("InvalidValueLength", "Invalid Length")
        if kind != "request":
            self.device.written(self, bytes(value))
            reply()
            return
        self.write_op = True

        # The module's response comes a link round trip later, and
        # bluetoothd sends queued write commands (the socket's among them)
        # ahead of a queued request: the request counts as received only
        # when answered, so that a write without response sent meanwhile
        # overtakes it here as it can over the air.
        link = self.device.link

        def answer():
            self.write_op = False
            if self.device.link != link or not self.device.props["Connected"]:
                error(BluezError("Failed", "Not connected"))
            else:
                self.device.written(self, bytes(value))
                reply()
            return False

        GLib.timeout_add(20, answer)

    @dbus.service.method(CHAR, in_signature="a{sv}", out_signature="hq", async_callbacks=("reply", "error"))
    def AcquireWrite(self, options, reply, error):
        self.peer.answer("AcquireWrite", self.acquire_write, reply, error)

    def acquire_write(self):
        self.check()
        if "WriteAcquired" not in self.props:
            raise BluezError("NotSupported", "Not supported")
        if self.sock:
            raise BluezError("NotPermitted", "Already acquired")
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.sock = ours
        self.watch = None
        self.pause(self.paused)
        self.set("WriteAcquired", True)
        fd = dbus.types.UnixFd(theirs.fileno())
        theirs.close()
        return fd, dbus.UInt16(self.peer.args.att_mtu)

    def pause(self, paused):
        self.paused = paused
        if paused and self.watch is not None:
            GLib.source_remove(self.watch)
            self.watch = None
        elif not paused and self.sock and self.watch is None:
            self.watch = GLib.io_add_watch(self.sock.fileno(), GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR, self.readable)

    def readable(self, fd, condition):
        if self.sock is None:
            return False
        # As bluetoothd: packets sent before the writer hung up are still
        # read and written, one per wake-up, whatever the condition says;
        # the hang-up counts only once the socket is empty.
        try:
            data = self.sock.recv(65536, socket.MSG_DONTWAIT)
        except BlockingIOError:
            return True
        except OSError:
            data = b""
        if data:
            # As bluetoothd: too long for one PDU, so not sent, and the
            # socket's writer is not told.
            if len(data) <= self.peer.args.att_mtu - 3:
                self.device.written(self, data)
            return True
        self.watch = None  # returning False removes it
        self.release()
        return False

    def release(self):
        # The watch goes with the socket: a watch left on a closed descriptor
        # would keep the main loop spinning, and would wake for whichever
        # device's socket is next given that descriptor number.
        if self.watch is not None:
            GLib.source_remove(self.watch)
            self.watch = None
        if self.sock:
            self.sock.close()
            self.sock = None
            if self.path in self.peer.exported:
                self.set("WriteAcquired", False)

    @dbus.service.method(CHAR, in_signature="a{sv}", out_signature="hq", sender_keyword="sender",
                         async_callbacks=("reply", "error"))
    def AcquireNotify(self, options, sender, reply, error):
        self.check()
        # As bluetoothd: refused while held, and while any client (the
        # caller included, from an earlier link too) holds StartNotify.
        if self.notify_sock is not None or self.notify_pending:
            raise BluezError("NotPermitted", "Notify acquired")
        if self.subscribers:
            raise BluezError("InProgress", "In Progress")
        if "notify" not in self.props["Flags"]:
            raise BluezError("NotSupported", "Not supported")
        refused, delay = self.device.notify_refused, self.device.notify_delay
        link = self.device.link
        self.notify_pending = True

        # bluetoothd answers once the module confirmed the descriptor write.
        def answer():
            self.notify_pending = False
            if refused:
                error(BluezError(*refused))
            elif self.device.link != link or not self.device.props["Connected"]:
                error(BluezError("Failed", "Not connected"))
            else:
                ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
                ours.setblocking(False)
                self.notify_sock = ours
                self.notify_watch = GLib.io_add_watch(ours.fileno(), GLib.IO_HUP | GLib.IO_ERR, self.notify_hup)
                self.set("NotifyAcquired", True)
                fd = dbus.types.UnixFd(theirs.fileno())
                theirs.close()
                reply(fd, dbus.UInt16(self.peer.args.att_mtu))
            return False

        if delay:
            GLib.timeout_add(delay, answer)
        else:
            answer()

    def notify_hup(self, fd, condition):
        self.notify_watch = None
        self.release_notify()
        return False

    def release_notify(self):
        if self.notify_watch is not None:
            GLib.source_remove(self.notify_watch)
            self.notify_watch = None
        if self.notify_sock is not None:
            self.notify_sock.close()
            self.notify_sock = None
            if self.path in self.peer.exported:
                self.set("NotifyAcquired", False)

    @dbus.service.method(CHAR, sender_keyword="sender", async_callbacks=("reply", "error"))
    def StartNotify(self, sender, reply, error):
        self.check()
        if self.notify_sock is not None:
            raise BluezError("NotPermitted", "Notify acquired")
        if "notify" not in self.props["Flags"]:
            raise BluezError("NotSupported", "Notify not supported")
        # As bluetoothd: a client already subscribed (on an earlier link
        # too) is answered at once.
        if sender in self.subscribers:
            reply()
            return
        refused, delay = self.device.notify_refused, self.device.notify_delay

        # bluetoothd answers once the module confirmed the descriptor write.
        def answer():
            if refused:
                error(BluezError(*refused))
            else:
                self.subscribers.add(sender)
                if not self.props["Notifying"]:
                    self.set("Notifying", True)
                reply()
            return False

        if delay:
            GLib.timeout_add(delay, answer)
        else:
            answer()

    @dbus.service.method(CHAR, sender_keyword="sender")
    def StopNotify(self, sender):
        # As bluetoothd: whoever calls it, the acquired socket goes.
        if self.notify_sock is not None:
            self.release_notify()
            return
        if sender not in self.subscribers:
            raise BluezError("Failed", "No notify session started")
        self.unsubscribe(sender)

    def unsubscribe(self, sender):
        if sender in self.subscribers:
            self.subscribers.discard(sender)
            if not self.subscribers:
                self.set("Notifying", False)

    def subscribed(self):
        return self.props["Notifying"] or self.notify_sock is not None

    def notify(self, data):
        if not self.device.props["Connected"]:
            return
        if self.notify_sock is not None:
            try:
                self.notify_sock.send(bytes(data))
            except OSError:
                pass  # as bluetoothd: logged and dropped
        for _ in self.subscribers:
            self.set("Value", dbus.Array(data, signature="y"))


class Service(Object):
    def __init__(self, device, short, instance=""):
        path = "%s/service%04x%s" % (device.path, short, instance)
        props = {"UUID": uuid16(short), "Device": dbus.ObjectPath(device.path), "Primary": True}
        super().__init__(device.peer, path, SERVICE, props)


class Device(Object):
    def __init__(self, peer, number, module=True):
        address = "AA:BB:CC:DD:EE:%02X" % number
        path = "%s/dev_%s" % (peer.adapter.path, address.replace(":", "_"))
        props = {"Address": address, "AddressType": "public", "Name": "KSV-Module-%d" % number,
                 "Alias": "KSV-Module-%d" % number, "Adapter": dbus.ObjectPath(peer.adapter.path),
                 "UUIDs": dbus.Array([uuid16(0xFF00), uuid16(0xFF10)], signature="s"),
                 "Connected": False, "ServicesResolved": False, "Paired": peer.args.paired,
                 "Bonded": peer.args.paired, "Trusted": False,
                 "RSSI": dbus.Int16(Device.rssi_of(peer.args, number)), "TxPower": dbus.Int16(4),
                 "ServiceData": dbus.Dictionary({uuid16(0xFF10): dbus.Array([0x01, number], signature="y")},
                                                signature="sv"),
                 "ManufacturerData": dbus.Dictionary({dbus.UInt16(0x0A0B): dbus.Array(b"\x01\x02", signature="y")},
                                                     signature="qv")}
        super().__init__(peer, path, DEVICE, props)
        self.number = number
        self.gatt = []
        self.ota = OtaModule(peer.args, number) if module else None
        # Device Information: characteristic (short UUID) -> bytes; and how its reads fail.
        self.info = {INFO_FIELDS[field]: value for target, field, value in peer.args.info or []
                     if target in (None, number)}
        self.info_fault = None
        for target, fault, _ in peer.args.info_fault or []:
            if target in (None, number):
                self.info_fault = fault
        if self.ota:
            self.ota.installed = self.installed
        self.received = bytearray()
        self.ota_written = bytearray()  # every byte written to FF11, as written
        self.paused_socket = False
        self.notify_refused = None  # (error, message) StartNotify answers
        self.notify_delay = 0       # ms before StartNotify is answered
        self.written_unsubscribed = 0  # FF11 writes that came before StartNotify
        self.refuse = None
        # Out of range: the object stays (BlueZ keeps it for a while), it is
        # not heard, and Connect is never answered (BlueZ keeps trying).
        self.out_of_range = False
        self.unanswered = []
        # Milliseconds the link lingers after the next Connect is aborted; 0: none.
        self.abort_next = 0
        # The aborted link's end is not signalled (bluetoothd does not signal
        # every change of Connected).
        self.abort_quietly = False
        # The next Connect fails and the device object is removed.
        self.fail_and_forget = False
        # The Flags of its advertisement: LE General Discoverable, and BR/EDR
        # Not Supported unless it is a dual-mode device, which (public
        # address, also paired for classic printing) bluetoothd connects
        # over BR/EDR, where its GATT services are not offered: the link
        # comes up and resolves with no service. bluetoothd 5.80 and later
        # offer PreferredBearer ("le" connects it over LE).
        self.dual_mode = number in (peer.args.dual_mode or [])
        self.props["AdvertisingFlags"] = dbus.Array([0x02 if self.dual_mode else 0x06], signature="y")
        if self.dual_mode:
            self.props["Class"] = dbus.UInt32(0x040680)  # imaging: printer
        if peer.args.preferred_bearer:
            self.props["PreferredBearer"] = dbus.String("last-used")
        # As bluetoothd: Disconnect holds the link up for a while
        # (DISCONNECT_TIMER, 2 s) and is answered once it is down; so is a
        # RemoveDevice of a connected device, removed then.
        self.disconnect_timer = None
        self.disconnect_replies = []
        self.remove_when_down = False
        # Counts links, so that an answer due on one is not given on the next.
        self.link = 0

    @staticmethod
    def rssi_of(args, number):
        """-50 - N, or 127 ("not available", as HCI reports it) with --rssi-unavailable N."""
        return 127 if number in (args.rssi_unavailable or []) else -50 - number

    def build_gatt(self):
        data = Service(self, 0xFF00)
        ota = Service(self, 0xFF10)
        self.chars = {
            0xFF01: Characteristic(self, data.path, 0xFF01, ["notify"]),
            0xFF02: Characteristic(self, data.path, 0xFF02, ["write", "write-without-response"], acquire=True),
            0xFF03: Characteristic(self, data.path, 0xFF03, ["read", "notify"], b"\x01"),
            0xFF11: Characteristic(self, ota.path, 0xFF11, ["write-without-response", "notify"], acquire=True),
        }
        self.gatt = [data, ota] + list(self.chars.values())
        if self.info:
            # As a module whose host is BlueZ: bluetoothd's own 180A (with
            # only the PnP ID, from main.conf's DeviceID) comes first.
            host_info = Service(self, 0x180A)
            self.gatt += [host_info, Characteristic(self, host_info.path, 0x2A50, ["read"],
                                                    b"\x02\x6b\x1d\x46\x02\x42\x05")]
            info = Service(self, 0x180A, "_app")
            self.gatt.append(info)
            for short, value in sorted(self.info.items()):
                self.chars[short] = Characteristic(self, info.path, short, ["read"], value)
                self.gatt.append(self.chars[short])
        if self.ota:
            self.ota.output = self.chars[0xFF11].notify
        self.chars[0xFF11].paused = self.paused_socket

    def installed(self, version):
        """The module runs the image it accepted: from now on it reports the
        image's version, offering 2A26 (and 180A) if it did not before."""
        if not self.info and not version:
            return
        self.info[0x2A26] = version
        if not self.gatt:
            return  # made with the next link
        if 0x2A26 in self.chars:
            self.chars[0x2A26].props["Value"] = dbus.Array(version, signature="y")
            return
        info = next((obj for obj in self.gatt if isinstance(obj, Service) and obj.path.endswith("service180a_app")),
                    None)
        if info is None:
            info = Service(self, 0x180A, "_app")
            self.gatt.append(info)
            self.peer.export(info)
        self.chars[0x2A26] = Characteristic(self, info.path, 0x2A26, ["read"], version)
        self.gatt.append(self.chars[0x2A26])
        self.peer.export(self.chars[0x2A26])

    @dbus.service.method(DEVICE, async_callbacks=("reply", "error"))
    def Connect(self, reply, error):
        if not self.peer.adapter.props["Powered"]:
            raise BluezError("NotReady", "Resource Not Ready")
        if self.refuse:
            raise BluezError(self.refuse[0], self.refuse[1])
        # As bluetoothd: a second Connect while one is under way...
        if self.unanswered:
            raise BluezError("Failed", "Operation already in progress")
        # ...and one on a link that is still up (even one going down) succeeds at once.
        if self.props["Connected"]:
            reply()
            return
        if self.fail_and_forget:
            # As bluetoothd with a temporary device whose attempt failed at
            # once (no connection event): the error, then the device object
            # goes; it comes back when heard again.
            self.fail_and_forget = False
            error(BluezError("Failed", "le-connection-abort-by-local"))
            GLib.idle_add(lambda: self.remove() and False)
            return
        if self.abort_next:
            # The kernel's connection event came (Connected true), then the
            # controller gave up; the link lingers before it is gone.
            linger_ms, self.abort_next = self.abort_next, 0
            self.set("Connected", True)
            self.peer.count_links()
            GLib.timeout_add(linger_ms, self.linger_ends)
            raise BluezError("Failed", "le-connection-abort-by-local")
        if self.out_of_range:
            self.unanswered.append((reply, error))
            return
        if self.dual_mode and self.props.get("PreferredBearer") != "le":
            self.set("Connected", True)
            self.peer.count_links()
            self.set("ServicesResolved", True)
            reply()
            return
        # As bluetoothd 5.66 does in most runs: the ATT channel comes up
        # before the kernel's connection event, the device is marked
        # connected without a PropertiesChanged (Get and GetAll say true)
        # and the later event is dropped.
        self.props["Connected"] = True
        self.peer.count_links()
        self.link += 1
        # As bluetoothd: the GATT objects (and subscriptions) of an earlier
        # link are still there; they go only with the device.
        if not self.gatt:
            self.build_gatt()
            late = self.peer.args.late_services
            # With --late-services, the OTA service's objects exist (they
            # are in GetManagedObjects) but their InterfacesAdded comes
            # after ServicesResolved, as bluetoothd's object manager sends
            # it from an idle callback, or after a cached table is mended.
            held = [obj for obj in self.gatt if late and obj.path.startswith(self.ota_service_path())]
            for obj in self.gatt:
                self.peer.export(obj, signal=obj not in held)
            if held:
                GLib.timeout_add(late, lambda: self.peer.announce(held) and False)
        self.set("ServicesResolved", True)
        reply()

    def ota_service_path(self):
        return "%s/service%04x" % (self.path, 0xFF10)

    def linger_ends(self):
        if not self.props["ServicesResolved"]:
            if self.abort_quietly:
                self.props["Connected"] = False
            else:
                self.set("Connected", False)
        return False

    @dbus.service.method(DEVICE, async_callbacks=("reply", "error"))
    def Disconnect(self, reply, error):
        self.request_disconnect(reply)

    def request_disconnect(self, reply):
        # A connection still being made is given up.
        pending, self.unanswered = self.unanswered, []
        for _, error in pending:
            error(BluezError("Failed", "Operation cancelled"))
        if not self.props["Connected"]:
            reply()
            return
        self.disconnect_replies.append(reply)
        if self.disconnect_timer is None:
            self.disconnect_timer = GLib.timeout_add(self.peer.args.disconnect_delay, self.disconnect_all)

    def disconnect_all(self):
        self.disconnect_timer = None
        self.drop()
        return False

    def drop(self):
        if self.disconnect_timer is not None:
            GLib.source_remove(self.disconnect_timer)
            self.disconnect_timer = None
        if self.props["Connected"]:
            for obj in self.gatt:
                if isinstance(obj, Characteristic):
                    obj.release()
                    obj.release_notify()
            self.set("ServicesResolved", False)
            self.set("Connected", False)
        replies, self.disconnect_replies = self.disconnect_replies, []
        if self.remove_when_down:
            self.remove_when_down = False
            self.remove()
        for reply in replies:
            reply()

    def remove(self):
        """The device object goes, and its GATT objects with it."""
        self.drop()
        for obj in reversed(self.gatt):
            self.peer.unexport(obj)
        self.gatt = []
        self.peer.unexport(self)

    def written(self, characteristic, data):
        if characteristic.short == 0xFF11:
            self.ota_written += data
            if not characteristic.subscribed():
                self.written_unsubscribed += 1
        if characteristic.short == 0xFF11 and self.ota:
            self.ota.receive(data)
            self.received = self.ota.image
        elif characteristic.short == 0xFF02:
            self.received += data


def check_application(objects):
    """Why bluetoothd would refuse these objects as a GATT application, or None."""
    services = {}
    for path, interfaces in objects.items():
        if SERVICE in interfaces:
            props = interfaces[SERVICE]
            for name in ("UUID", "Primary"):
                if name not in props:
                    return "InvalidArguments", "%s: the service has no %s" % (path, name)
            services[str(path)] = props
    if not services:
        return "Failed", "No valid service object found"
    for path, interfaces in objects.items():
        if CHAR in interfaces:
            props = interfaces[CHAR]
            for name in ("UUID", "Service", "Flags"):
                if name not in props:
                    return "InvalidArguments", "%s: the characteristic has no %s" % (path, name)
            if str(props["Service"]) not in services:
                return "InvalidArguments", "%s: Service %s is no service of the application" % (path, props["Service"])
            unknown = [str(flag) for flag in props["Flags"] if str(flag) not in CHAR_FLAGS]
            if unknown or not props["Flags"]:
                return "InvalidArguments", "%s: invalid Flags %s" % (path, unknown or "(none)")
    return None


class GattServerManager:
    """The adapter's GattManager1 and LEAdvertisingManager1, as bluetoothd answers them."""

    def __init__(self, peer):
        self.peer = peer
        self.applications = {}    # (owner, root) -> the objects it had when registered
        self.advertisements = {}  # (owner, path) -> its properties

    def register_application(self, sender, root, reply, error):
        key = (str(sender), str(root))
        if self.peer.args.refuse_registration:
            return error(BluezError(self.peer.args.refuse_registration, "Refused by the test"))
        if key in self.applications:
            return error(BluezError("AlreadyExists", "Already Exists"))

        def read(objects):
            refused = check_application(objects)
            if refused:
                return error(BluezError(*refused))
            self.applications[key] = objects
            reply()

        def unreadable(exception):
            error(BluezError("Failed", "No valid service object found"))

        app = self.peer.bus.get_object(sender, root, introspect=False)
        app.GetManagedObjects(dbus_interface=OM, reply_handler=read, error_handler=unreadable)

    def unregister_application(self, sender, root):
        if self.applications.pop((str(sender), str(root)), None) is None:
            raise BluezError("DoesNotExist", "Does Not Exist")

    def register_advertisement(self, sender, path, reply, error):
        key = (str(sender), str(path))
        if key in self.advertisements:
            return error(BluezError("AlreadyExists", "Already Exists"))
        if len(self.advertisements) >= MAX_ADVERTISEMENTS:
            return error(BluezError("NotPermitted", "Maximum advertisements reached"))

        def read(props):
            if str(props.get("Type", "")) not in ("broadcast", "peripheral"):
                return error(BluezError("Failed", "Failed to parse advertisement."))
            self.advertisements[key] = props
            reply()

        def unreadable(exception):
            error(BluezError("Failed", "Failed to parse advertisement."))

        advertisement = self.peer.bus.get_object(sender, path, introspect=False)
        advertisement.GetAll(ADVERTISEMENT, dbus_interface=PROPS, reply_handler=read, error_handler=unreadable)

    def unregister_advertisement(self, sender, path):
        if self.advertisements.pop((str(sender), str(path)), None) is None:
            raise BluezError("DoesNotExist", "Does Not Exist")

    def owner_left(self, owner):
        # bluetoothd drops what a program registered when it leaves the bus.
        for table in (self.applications, self.advertisements):
            for key in [key for key in table if key[0] == owner]:
                del table[key]


class Adapter(Object):
    def __init__(self, peer):
        props = {"Address": "00:11:22:33:44:55", "Name": "peer", "Alias": "peer", "Powered": True,
                 "Discovering": False, "UUIDs": dbus.Array([], signature="s")}
        super().__init__(peer, "/org/bluez/" + peer.args.adapter, ADAPTER, props)
        self.filter = {}
        # As bluetoothd: one discovery session per client (bus name); the
        # adapter discovers while any is open.
        self.sessions = set()
        # The controller refuses to start discovery (busy, or in a state the
        # kernel will not scan from).
        self.refuse_discovery = peer.args.refuse_discovery
        # The discovery calls made, in order, for tests to read.
        self.calls = []
        # Clients whose StartDiscovery is not answered yet.
        self.starting = set()

    def managed(self):
        servers = self.peer.servers
        return {self.interface: self.props, GATT_MANAGER: {},
                ADV_MANAGER: {"ActiveInstances": dbus.Byte(len(servers.advertisements)),
                              "SupportedInstances": dbus.Byte(MAX_ADVERTISEMENTS - len(servers.advertisements)),
                              "SupportedIncludes": dbus.Array(["tx-power", "appearance", "local-name"], signature="s")}}

    @dbus.service.method(GATT_MANAGER, in_signature="oa{sv}", sender_keyword="sender",
                         async_callbacks=("reply", "error"))
    def RegisterApplication(self, application, options, sender, reply, error):
        self.peer.servers.register_application(sender, application, reply, error)

    @dbus.service.method(GATT_MANAGER, in_signature="o", sender_keyword="sender")
    def UnregisterApplication(self, application, sender):
        self.peer.servers.unregister_application(sender, application)

    @dbus.service.method(ADV_MANAGER, in_signature="oa{sv}", sender_keyword="sender",
                         async_callbacks=("reply", "error"))
    def RegisterAdvertisement(self, advertisement, options, sender, reply, error):
        self.peer.servers.register_advertisement(sender, advertisement, reply, error)

    @dbus.service.method(ADV_MANAGER, in_signature="o", sender_keyword="sender")
    def UnregisterAdvertisement(self, advertisement, sender):
        self.peer.servers.unregister_advertisement(sender, advertisement)

    @dbus.service.method(ADAPTER, in_signature="a{sv}")
    def SetDiscoveryFilter(self, properties):
        self.calls.append("SetDiscoveryFilter")
        self.filter = dict(properties)

    @dbus.service.method(ADAPTER, sender_keyword="sender", async_callbacks=("reply", "error"))
    def StartDiscovery(self, sender, reply, error):
        self.calls.append("StartDiscovery")
        if not self.props["Powered"]:
            raise BluezError("NotReady", "Resource Not Ready")
        # bluetoothd gives the same answer to a client whose discovery
        # already runs and, after dropping the client's session, to one
        # whose discovery the kernel refused to start.
        if sender in self.sessions or self.refuse_discovery:
            raise BluezError("InProgress", "Operation already in progress")
        self.sessions.add(sender)
        if not self.props["Discovering"]:
            self.set("Discovering", True)
        self.peer.advertise()
        # As bluetoothd, the session is the client's at once; while the
        # answer is due, the client's StopDiscovery is refused (Busy).
        self.starting.add(sender)

        def answered():
            self.starting.discard(sender)

        def refused(exception):
            # As when the kernel refuses: the client's session is dropped.
            self.starting.discard(sender)
            self.end_session(sender)
            error(exception)
        self.peer.answer("StartDiscovery", answered, reply, refused)

    @dbus.service.method(ADAPTER, sender_keyword="sender", async_callbacks=("reply", "error"))
    def StopDiscovery(self, sender, reply, error):
        self.calls.append("StopDiscovery")
        if sender not in self.sessions:
            raise BluezError("Failed", "No discovery started")
        if sender in self.starting:
            raise BluezError("InProgress", "Operation already in progress")
        # As bluetoothd, the session is the client's until the controller
        # stopped (its StartDiscovery meanwhile is answered InProgress).
        self.peer.answer("StopDiscovery", lambda: self.end_session(sender), reply, error)

    def end_session(self, sender):
        self.sessions.discard(sender)
        if not self.sessions and self.props["Discovering"]:
            self.set("Discovering", False)

    @dbus.service.method(ADAPTER, in_signature="o", async_callbacks=("reply", "error"))
    def RemoveDevice(self, path, reply, error):
        device = self.peer.devices.get(str(path))
        if device is None:
            raise BluezError("DoesNotExist", "Does Not Exist")
        if device.props["Connected"]:
            device.remove_when_down = True
            device.request_disconnect(reply)
            return
        device.remove()
        reply()


class Root(dbus.service.Object):
    def __init__(self, peer):
        super().__init__(peer.bus, "/")
        self.peer = peer

    @dbus.service.method(OM, out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        return {path: obj.managed() for path, obj in self.peer.exported.items()}

    @dbus.service.signal(OM, signature="oa{sa{sv}}")
    def InterfacesAdded(self, path, interfaces):
        pass

    @dbus.service.signal(OM, signature="oas")
    def InterfacesRemoved(self, path, interfaces):
        pass


class Control(dbus.service.Object):
    """How tests steer the peer."""

    def __init__(self, peer):
        super().__init__(peer.bus, "/test")
        self.peer = peer

    def device(self, number):
        for device in self.peer.all_devices:
            if device.number == number:
                return device
        raise dbus.DBusException("no device %d" % number)

    @dbus.service.method(CONTROL, in_signature="i")
    def DropLink(self, number):
        self.device(number).drop()

    @dbus.service.method(CONTROL, in_signature="iss")
    def RefuseConnect(self, number, error, message):
        self.device(number).refuse = (str(error), str(message)) if error else None

    @dbus.service.method(CONTROL, in_signature="iu")
    def AbortNextConnect(self, number, linger_ms):
        self.device(number).abort_next = int(linger_ms)
        self.device(number).abort_quietly = False

    @dbus.service.method(CONTROL, in_signature="i")
    def FailNextConnectAndForget(self, number):
        """The next Connect fails, and bluetoothd drops the (temporary) device."""
        self.device(number).fail_and_forget = True

    @dbus.service.method(CONTROL, in_signature="iu")
    def AbortNextConnectQuietly(self, number, linger_ms):
        """As AbortNextConnect, and the link's end is not signalled."""
        self.device(number).abort_next = int(linger_ms)
        self.device(number).abort_quietly = True

    @dbus.service.method(CONTROL, in_signature="i")
    def Remove(self, number):
        self.device(number).remove()

    @dbus.service.method(CONTROL, in_signature="i")
    def OutOfRange(self, number):
        device = self.device(number)
        device.drop()
        device.out_of_range = True

    @dbus.service.method(CONTROL, in_signature="i", out_signature="ay")
    def Received(self, number):
        return dbus.Array(bytes(self.device(number).received), signature="y")

    @dbus.service.method(CONTROL, in_signature="i", out_signature="ay")
    def OtaWritten(self, number):
        """Every byte written to the device's FF11, in the order it arrived."""
        return dbus.Array(bytes(self.device(number).ota_written), signature="y")

    @dbus.service.method(CONTROL, in_signature="issu")
    def SetStartNotify(self, number, error, message, delay):
        """StartNotify is answered after `delay` ms, with org.bluez.Error.<error> unless it is empty."""
        device = self.device(number)
        device.notify_refused = (str(error), str(message)) if error else None
        device.notify_delay = int(delay)

    @dbus.service.method(CONTROL, in_signature="i", out_signature="u")
    def WrittenBeforeNotify(self, number):
        """How many writes reached FF11 while its notifications were off."""
        return self.device(number).written_unsubscribed

    @dbus.service.method(CONTROL, in_signature="ib")
    def PauseSocket(self, number, paused):
        """Stops (or resumes) reading FF11's write socket, now and on later links."""
        device = self.device(number)
        device.paused_socket = bool(paused)
        if device.gatt:
            device.chars[0xFF11].pause(bool(paused))

    @dbus.service.method(CONTROL, in_signature="i", out_signature="u")
    def ReceivedLength(self, number):
        return len(self.device(number).received)

    @dbus.service.method(CONTROL, in_signature="iay")
    def Notify(self, number, data):
        device = self.device(number)
        device.chars[0xFF01].notify(bytes(data))

    @dbus.service.method(CONTROL, out_signature="u")
    def MostLinksAtOnce(self):
        """The most links that were up at once (going down included)."""
        return self.peer.most_links

    @dbus.service.method(CONTROL, in_signature="b")
    def RefuseDiscovery(self, refused):
        """StartDiscovery from a client without a session fails as when the kernel refuses it."""
        self.peer.adapter.refuse_discovery = bool(refused)

    @dbus.service.method(CONTROL, in_signature="s")
    def Hold(self, method):
        """Holds the answers to `method` (StartDiscovery, StopDiscovery, AcquireWrite) until Release."""
        self.peer.holding.add(str(method))

    @dbus.service.method(CONTROL, in_signature="sss")
    def Release(self, method, error, message):
        """Gives the held answers to `method`, in order, each refused with org.bluez.Error.<error> unless it is empty."""
        self.peer.release(str(method), (str(error), str(message)) if error else None)

    @dbus.service.method(CONTROL, out_signature="as")
    def DiscoveryCalls(self):
        """The adapter's SetDiscoveryFilter, StartDiscovery and StopDiscovery calls so far, in order."""
        return dbus.Array(self.peer.adapter.calls, signature="s")

    @dbus.service.method(CONTROL, out_signature="a(so)")
    def Application(self):
        """The registered GATT applications: each one's owner and root."""
        return dbus.Array([dbus.Struct((owner, dbus.ObjectPath(root)))
                           for owner, root in self.peer.servers.applications], signature="(so)")

    @dbus.service.method(CONTROL, out_signature="aa{sv}")
    def Advertisements(self):
        """The registered advertisements' properties, as read when registered."""
        return dbus.Array([dbus.Dictionary(props, signature="sv")
                           for props in self.peer.servers.advertisements.values()], signature="a{sv}")


class Peer:
    def __init__(self, args):
        self.args = args
        self.bus = dbus.SystemBus()
        self.exported = {}
        self.servers = GattServerManager(self)
        self.root = Root(self)
        self.adapter = Adapter(self)
        self.export(self.adapter)
        self.all_devices = [Device(self, n + 1, module=not args.no_module) for n in range(args.devices)]
        self.devices = {}
        self.control = Control(self)
        self.most_links = 0  # links up at once, at most, since the start
        # Methods whose answers are held (Control.Hold), and the answers due.
        self.holding = set()
        self.held = []
        self.name = dbus.service.BusName("org.bluez", self.bus)
        self.bus.add_signal_receiver(self.owner_changed, "NameOwnerChanged", "org.freedesktop.DBus",
                                     "org.freedesktop.DBus", "/org/freedesktop/DBus")
        GLib.timeout_add(100, self.tick)

    def answer(self, method, work, reply, error):
        """Runs `work` and replies with what it returns (a tuple: several values), or
        with its BluezError; while `method` is held, once it is let go."""
        def run():
            try:
                result = work()
            except dbus.DBusException as e:
                error(e)
                return
            if result is None:
                reply()
            elif isinstance(result, tuple):
                reply(*result)
            else:
                reply(result)
        if method in self.holding:
            self.held.append((method, run, error))
        else:
            run()

    def release(self, method, refusal):
        self.holding.discard(method)
        due = [answer for answer in self.held if answer[0] == method]
        self.held = [answer for answer in self.held if answer[0] != method]
        for _, run, error in due:
            if refusal:
                error(BluezError(*refusal))
            else:
                run()

    def export(self, obj, signal=True):
        self.exported[obj.path] = obj
        if isinstance(obj, Device):
            self.devices[obj.path] = obj
        if signal:
            self.root.InterfacesAdded(obj.path, obj.managed())

    def announce(self, objects):
        """InterfacesAdded, late, for objects exported without it (still there)."""
        for obj in objects:
            if self.exported.get(obj.path) is obj:
                self.root.InterfacesAdded(obj.path, obj.managed())

    def unexport(self, obj):
        if self.exported.pop(obj.path, None) is None:
            return
        self.devices.pop(obj.path, None)
        self.root.InterfacesRemoved(obj.path, [obj.interface])
        if not isinstance(obj, Device):  # a device object comes back when heard again
            obj.remove_from_connection()

    def owner_changed(self, name, old, new):
        if name.startswith(":") and not new:
            self.servers.owner_left(str(name))
            self.adapter.end_session(str(name))
            for device in self.all_devices:
                for obj in device.gatt:
                    if isinstance(obj, Characteristic):
                        obj.unsubscribe(str(name))

    def count_links(self):
        self.most_links = max(self.most_links, sum(1 for d in self.devices.values() if d.props["Connected"]))

    def advertise(self):
        for device in self.all_devices:
            if device.path not in self.exported:
                self.export(device)

    def tick(self):
        # While discovering, each device is heard again: its RSSI is reported.
        if self.adapter.props["Discovering"]:
            for device in self.devices.values():
                if not device.out_of_range:
                    device.set("RSSI", dbus.Int16(Device.rssi_of(self.args, device.number)))
        return True

    def set_powered(self, powered):
        if not powered:
            for device in list(self.devices.values()):
                device.drop()
            for sender in list(self.adapter.sessions):
                self.adapter.end_session(sender)
        self.adapter.set("Powered", powered)


def fault_argument(text):
    """[N:]NAME[=VALUE] as (N or None, NAME, VALUE or "")."""
    device = None
    target, colon, rest = text.partition(":")
    if colon and "=" not in target:
        if not target.isdigit():
            raise argparse.ArgumentTypeError("%r: the device is a number" % text)
        device, text = int(target), rest
    name, _, value = text.partition("=")
    return device, name, value


def info_argument(text):
    """[N:]FIELD=VALUE as (N or None, FIELD, VALUE as the bytes given)."""
    device, field, value = fault_argument(text)
    if field not in INFO_FIELDS:
        raise argparse.ArgumentTypeError("%r: the field is one of %s" % (text, ", ".join(INFO_FIELDS)))
    return device, field, os.fsencode(value)


def info_fault_argument(text):
    device, name, value = fault_argument(text)
    if name not in ("refuse", "slow", "drop") or (name == "slow") != bool(value.isdigit()):
        raise argparse.ArgumentTypeError("%r: the fault is refuse, slow=MS or drop" % text)
    return device, name + ("=" + value if value else ""), None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--devices", type=int, default=1)
    parser.add_argument("--no-module", action="store_true")
    # Every device paired and bonded, as a module also paired for classic printing.
    parser.add_argument("--paired", action="store_true")
    parser.add_argument("--fault", action="append", type=fault_argument)
    parser.add_argument("--mtu", type=int, default=247)
    # As over a link that settled on the largest ATT MTU, as BlueZ's do.
    parser.add_argument("--att-mtu", type=int, default=517)
    parser.add_argument("--credit", type=int, default=3)
    parser.add_argument("--window", type=int, default=3)
    parser.add_argument("--start-result", type=int, default=0)
    # Device N is dual-mode (see Device.dual_mode); repeatable.
    parser.add_argument("--dual-mode", type=int, action="append", metavar="N")
    # Devices offer PreferredBearer, as bluetoothd 5.80 and later do.
    parser.add_argument("--preferred-bearer", action="store_true")
    # The adapter's name: a re-plugged dongle may come back as hci1.
    parser.add_argument("--adapter", default="hci0")
    # Milliseconds bluetoothd holds a link up after Disconnect.
    parser.add_argument("--disconnect-delay", type=int, default=2000)
    # Every StartDiscovery fails as when the kernel refuses to scan.
    parser.add_argument("--refuse-discovery", action="store_true")
    # Milliseconds after ServicesResolved that the OTA service's objects are
    # announced (InterfacesAdded); 0: with the others, before it.
    parser.add_argument("--late-services", type=int, default=0, metavar="MS")
    # RegisterApplication is answered with org.bluez.Error.<ERROR>.
    parser.add_argument("--refuse-registration", metavar="ERROR")
    parser.add_argument("--info", action="append", type=info_argument)
    # Device N's RSSI is 127, "not available"; repeatable.
    parser.add_argument("--rssi-unavailable", type=int, action="append", metavar="N")
    parser.add_argument("--info-fault", action="append", type=info_fault_argument)
    args = parser.parse_args()
    for device, name, _ in args.fault or []:
        if device is not None and not 1 <= device <= args.devices:
            parser.error("--fault %d:%s: there is no device %d" % (device, name, device))
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    Peer(args)
    print("ready", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    sys.exit(main())
