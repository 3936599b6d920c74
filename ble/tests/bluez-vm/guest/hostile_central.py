#!/usr/bin/python3
"""A central that misbehaves on purpose against quillon-module, through
bluetoothd's D-Bus API only: from one adapter it connects to the module and
writes on FF11, one stage after another, what an honest host never would.
After each stage it waits for the module's line that names the fault (in
the module's log) and checks that the --save-received file holds no more
than was announced.

Stages: DATA before START; four times the announced length; a START of
4 GiB, which must be refused at once (no credit, the module's END with
result 2); writes of random bytes; and last a transfer left in the middle
of a window by disconnecting, so that another central can connect at once.

Prints one line per stage ("stage NAME: ..."); exits 1 with the stage and
what went wrong."""

import argparse
import os
import random
import re
import struct
import sys
import time

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

BLUEZ = "org.bluez"
CHARACTERISTIC = "org.bluez.GattCharacteristic1"
FF11 = "0000ff11-0000-1000-8000-00805f9b34fb"
# Limits for hangs only: a guest without KVM is several times slower.
LIMIT = 120


class StageFailed(Exception):
    pass


def checksum(data):
    return sum(data) & 0xFF


def sealed(body):
    return bytes(body) + bytes([checksum(body)])


def start(length):
    return sealed(b"\xf1\x01" + struct.pack("<I", length))


def data(index, payload):
    return sealed(b"\xf2" + struct.pack("<H", index & 0xFFFF) + payload)


def end():
    return sealed(b"\xf3\x01\x00")


def log(text):
    print(text, file=sys.stderr, flush=True)


def from_start_ack(answers, length):
    """`length` bytes of what the module notified, from its acknowledgement
    of START on (fc f1 ...); empty until that many have arrived. A late
    answer to the stage before may come first, over the real bluetoothd."""
    at = answers.find(b"\xfc\xf1")
    return answers[at:at + length] if at >= 0 and len(answers) >= at + length else b""


def pump_until(what, check, limit=LIMIT):
    """Runs the main loop (signals arrive there) until check() holds."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + limit
    while True:
        while context.pending():
            context.iteration(False)
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise StageFailed(f"timed out after {limit} s waiting for {what}")
        context.iteration(False)
        time.sleep(0.05)


class Central:
    def __init__(self, adapter, address):
        self.bus = dbus.SystemBus()
        self.manager = dbus.Interface(self.bus.get_object(BLUEZ, "/"), "org.freedesktop.DBus.ObjectManager")
        self.adapter_path = f"/org/bluez/{adapter}"
        self.address = address.upper()
        self.notifications = []
        self.room = 0  # image bytes in a full DATA packet, once START was granted

    def find_device(self):
        for path, ifaces in self.manager.GetManagedObjects().items():
            device = ifaces.get("org.bluez.Device1")
            if device and str(path).startswith(self.adapter_path + "/") and \
                    str(device.get("Address", "")).upper() == self.address:
                return str(path)
        return None

    def connect(self):
        adapter = dbus.Interface(self.bus.get_object(BLUEZ, self.adapter_path), "org.bluez.Adapter1")
        adapter.SetDiscoveryFilter({"Transport": "le", "DuplicateData": dbus.Boolean(True)})
        adapter.StartDiscovery()
        try:
            self.device_path = pump_until(f"{self.address} in discovery", self.find_device)
        finally:
            adapter.StopDiscovery()
        self.device = dbus.Interface(self.bus.get_object(BLUEZ, self.device_path), "org.bluez.Device1")
        properties = dbus.Interface(self.bus.get_object(BLUEZ, self.device_path), dbus.PROPERTIES_IFACE)
        self.device.Connect(timeout=LIMIT)
        pump_until("ServicesResolved", lambda: properties.Get("org.bluez.Device1", "ServicesResolved"))
        path = None
        for candidate, ifaces in self.manager.GetManagedObjects().items():
            char = ifaces.get(CHARACTERISTIC)
            if char and str(candidate).startswith(self.device_path + "/") and str(char["UUID"]).lower() == FF11:
                path = str(candidate)
        if not path:
            raise StageFailed("the module offers no FF11")
        self.ff11 = dbus.Interface(self.bus.get_object(BLUEZ, path), CHARACTERISTIC)
        self.bus.add_signal_receiver(self._changed, "PropertiesChanged", dbus.PROPERTIES_IFACE, BLUEZ, path)
        self.ff11.StartNotify()
        log(f"connected to {self.device_path}, FF11 at {path}")

    def _changed(self, interface, changed, _invalidated):
        if interface == CHARACTERISTIC and "Value" in changed:
            self.notifications.append(bytes(changed["Value"]))

    def write(self, packet):
        # Writes with response, so that each has reached the module, in order,
        # before the next goes.
        self.ff11.WriteValue(dbus.ByteArray(packet), {"type": dbus.String("request")}, timeout=LIMIT)

    def answers_since(self, first):
        return b"".join(self.notifications[first:])

    def disconnect(self):
        self.device.Disconnect(timeout=LIMIT)


class ModuleLog:
    """The module's standard error, read from where the last stage left it."""

    def __init__(self, path, received):
        self.path, self.received = path, received
        self.offset = os.path.getsize(path)

    def wait_for(self, pattern):
        regex = re.compile(pattern, re.M)

        def found():
            with open(self.path, errors="replace") as f:
                f.seek(self.offset)
                return regex.search(f.read())

        match = pump_until(f"the module's line /{pattern}/", found)
        return match

    def lines_since(self):
        with open(self.path, errors="replace") as f:
            f.seek(self.offset)
            text = f.read()
        return [line for line in text.splitlines() if not line.startswith("FF11:") and "bytes written" not in line]

    def next_stage(self):
        self.offset = os.path.getsize(self.path)

    def saved(self):
        with open(self.received, "rb") as f:
            return f.read()


def stage_data_before_start(central, module):
    # The module's very first writes.
    central.write(data(0, bytes(100)))
    central.write(data(1, bytes(100)))
    central.write(end())
    module.wait_for(r"why: DATA before START \(2 times\)")
    module.wait_for(r"^saved 0 bytes")
    if module.saved():
        raise StageFailed(f"{len(module.saved())} bytes saved of DATA sent before any START")
    return "END answered with a failure, 'DATA before START (2 times)', nothing saved"


def stage_four_times(central, module, announced):
    image = random.Random(4).randbytes(4 * announced)
    first = len(central.notifications)
    central.write(start(announced))
    # A full DATA packet carries the granted mtu - 4 image bytes.
    ack = pump_until("the acknowledgement of START", lambda: from_start_ack(central.answers_since(first), 6))
    central.room = room = ack[3] - 4
    for index, at in enumerate(range(0, len(image), room)):
        central.write(data(index, image[at:at + room]))
    central.write(end())
    module.wait_for(rf"END: failure, {len(image)} of {announced} bytes received")
    module.wait_for(r"why: DATA beyond the announced length")
    module.wait_for(rf"^saved {announced} bytes")
    if module.saved() != image[:announced]:
        raise StageFailed(f"saved {len(module.saved())} bytes, not the {announced} announced")
    return f"{len(image)} of {announced} bytes received, the {announced} announced saved"


def stage_start_4gib(central, module):
    first = len(central.notifications)
    central.write(start(0xFFFFFFFF))
    module.wait_for(r"START: 4294967295 bytes announced, refused: this module holds at most \d+ bytes")
    module.wait_for(r"^saved 0 bytes")
    refusal = pump_until("the refusal and the module's END",
                         lambda: from_start_ack(central.answers_since(first), 10))
    ack, module_end = refusal[:6], refusal[6:10]
    if ack[:3] != b"\xfc\xf1\x02" or ack[4] != 0 or checksum(ack[:5]) != ack[5]:
        raise StageFailed(f"START of 4 GiB acknowledged with {ack.hex(' ')}, not a refusal with no credit")
    if module_end != sealed(b"\xf3\x01\x02"):
        raise StageFailed(f"the module's END after the refusal is {module_end.hex(' ')}")
    if module.saved():
        raise StageFailed("bytes saved after a refused START")
    return f"refused: {ack.hex(' ')}, then END {module_end.hex(' ')}"


def stage_random(central, module):
    rng = random.Random(26)
    for _ in range(64):
        central.write(rng.randbytes(rng.randint(1, 200)))
    central.write(end())
    match = module.wait_for(r"END: failure, (\d+) of (\d+) bytes received")
    module.wait_for(r"why: ")
    module.wait_for(r"^saved \d+ bytes")
    if len(module.saved()) > int(match.group(2)):
        raise StageFailed(f"saved {len(module.saved())} bytes of {match.group(2)} announced")
    return f"END answered with a failure ({match.group(0)})"


def stage_leave_mid_window(central, announced):
    image, room = random.Random(5).randbytes(announced), central.room
    central.write(start(announced))
    # Credit 3 and windows of 3 (the module's defaults): five DATA packets
    # are one window acknowledged and two into the next.
    for index in range(5):
        central.write(data(index, image[index * room:(index + 1) * room]))
    central.disconnect()
    return f"disconnected after 5 DATA packets of a {announced}-byte transfer"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--adapter", default="hci0")
    parser.add_argument("--address", required=True, help="the module's adapter address")
    parser.add_argument("--module-log", required=True)
    parser.add_argument("--received", required=True, help="the module's --save-received file")
    args = parser.parse_args()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)

    central = Central(args.adapter, args.address)
    module = ModuleLog(args.module_log, args.received)
    stage = "connect"
    try:
        central.connect()
        stages = [
            ("data-before-start", lambda: stage_data_before_start(central, module)),
            # Each write waits for its answer: ten packets' worth, four times over,
            # spans several windows without hundreds of round trips.
            ("four-times-announced", lambda: stage_four_times(central, module, 2560)),
            ("start-4gib", lambda: stage_start_4gib(central, module)),
            ("random-bytes", lambda: stage_random(central, module)),
            ("leave-mid-window", lambda: stage_leave_mid_window(central, 25600)),
        ]
        for stage, run in stages:
            module.next_stage()
            outcome = run()
            print(f"stage {stage}: {outcome}", flush=True)
            for line in module.lines_since():
                log(f"  module: {line}")
    except (StageFailed, dbus.DBusException) as e:
        print(f"stage {stage} failed: {e}", flush=True)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
