#!/usr/bin/python3
# A finger on fprintd's virtual reader, on the system bus the environment names: enrolled, or
# touched once fprintd waits for it.   session-tools.py enrol|scan READER-SOCKET FINGER-ID
import socket
import sys
import time

import dbus

DEADLINE = time.monotonic() + 60
FPRINT = "net.reactivated.Fprint"
DEVICE = FPRINT + ".Device"


def wait_until(check):
    while time.monotonic() < DEADLINE:
        try:
            if check():
                return
        except dbus.DBusException:  # fprintd says "none yet" this way
            pass
        time.sleep(0.05)
    sys.exit("session-tools: gave up waiting")


def device():
    bus = dbus.SystemBus()
    manager = bus.get_object(FPRINT, "/net/reactivated/Fprint/Manager")
    return bus.get_object(FPRINT, manager.GetDefaultDevice(dbus_interface=FPRINT + ".Manager"))


def send(reader, command):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(reader)
        s.sendall(command.encode())


def enrol(reader, finger):
    reader_device = device()
    reader_device.Claim("", dbus_interface=DEVICE)
    send(reader, "SET_ENROLL_STAGES 1")  # one touch is a whole enrolment
    reader_device.EnrollStart("right-index-finger", dbus_interface=DEVICE)
    send(reader, "SCAN " + finger)
    wait_until(lambda: len(reader_device.ListEnrolledFingers("", dbus_interface=DEVICE)) > 0)
    reader_device.EnrollStop(dbus_interface=DEVICE)
    reader_device.Release(dbus_interface=DEVICE)


def scan(reader, finger):
    reader_device = device()
    wait_until(lambda: bool(reader_device.Get(DEVICE, "finger-needed", dbus_interface=dbus.PROPERTIES_IFACE)))
    send(reader, "SCAN " + finger)


if __name__ == "__main__":
    {"enrol": enrol, "scan": scan}[sys.argv[1]](*sys.argv[2:])
