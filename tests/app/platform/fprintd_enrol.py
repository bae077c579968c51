#!/usr/bin/python3
"""fprintd_enrol.py <reader-socket> <scan-id>: enrols a finger through fprintd, touching the virtual
reader once per stage; exits 0 on enroll-completed."""
import socket
import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SystemBus()
manager = bus.get_object("net.reactivated.Fprint", "/net/reactivated/Fprint/Manager")
path = manager.GetDefaultDevice(dbus_interface="net.reactivated.Fprint.Manager")
device = dbus.Interface(bus.get_object("net.reactivated.Fprint", path), "net.reactivated.Fprint.Device")
loop, outcome = GLib.MainLoop(), []


def touch(*_):
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(sys.argv[1])
        s.sendall(("SCAN " + sys.argv[2]).encode())


def status(result, done):
    # The reader takes the next touch only after it reported the last one.
    if done:
        outcome.append(result)
        loop.quit()
    else:
        touch()


device.Claim("")
device.connect_to_signal("EnrollStatus", status)
device.EnrollStart("right-index-finger")
touch()
GLib.timeout_add_seconds(30, loop.quit)
loop.run()
device.EnrollStop()
device.Release()
sys.exit(0 if outcome == ["enroll-completed"] else 1)
