#!/usr/bin/python3
# What a person does outside the app in the end-to-end tests: stores a key passphrase in the Secret
# Service, enrols a finger on fprintd's virtual reader, and touches the reader when fprintd waits
# for a finger. The buses are the ones the environment names.
#   session-tools.py store-passphrase KEY-PATH FIFO   (the passphrase comes through the FIFO)
#   session-tools.py enrol READER-SOCKET FINGER-ID
#   session-tools.py scan READER-SOCKET FINGER-ID
import socket
import sys
import time

DEADLINE = time.monotonic() + 60
FPRINT = "net.reactivated.Fprint"


def wait_until(check):
    while time.monotonic() < DEADLINE:
        if check():
            return
        time.sleep(0.05)
    sys.exit("session-tools: gave up waiting")


def store_passphrase(key_path, fifo):
    import gi

    gi.require_version("Secret", "1")
    from gi.repository import Secret

    name = "org.vantorelle.Vantorelle.passphrase"
    schema = Secret.Schema.new(
        name,
        Secret.SchemaFlags.NONE,
        {"service": Secret.SchemaAttributeType.STRING, "account": Secret.SchemaAttributeType.STRING},
    )
    with open(fifo) as f:
        passphrase = f.read()
    if not Secret.password_store_sync(
        schema, {"service": name, "account": key_path}, Secret.COLLECTION_DEFAULT, key_path, passphrase, None
    ):
        sys.exit("session-tools: not stored")


def device():
    import dbus

    bus = dbus.SystemBus()
    manager = dbus.Interface(bus.get_object(FPRINT, "/net/reactivated/Fprint/Manager"), FPRINT + ".Manager")
    path = manager.GetDefaultDevice()
    return bus.get_object(FPRINT, path)


def send(reader, command):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(reader)
        s.sendall(command.encode())


def enrolled(reader_device):
    import dbus

    try:
        return len(reader_device.ListEnrolledFingers("", dbus_interface=FPRINT + ".Device")) > 0
    except dbus.DBusException:
        return False


def enrol(reader, finger):
    reader_device = device()
    methods = FPRINT + ".Device"
    reader_device.Claim("", dbus_interface=methods)
    # One touch is a whole enrolment.
    send(reader, "SET_ENROLL_STAGES 1")
    reader_device.EnrollStart("right-index-finger", dbus_interface=methods)
    send(reader, "SCAN " + finger)
    wait_until(lambda: enrolled(reader_device))
    reader_device.EnrollStop(dbus_interface=methods)
    reader_device.Release(dbus_interface=methods)


def scan(reader, finger):
    reader_device = device()
    wait_until(
        lambda: bool(reader_device.Get(FPRINT + ".Device", "finger-needed", dbus_interface="org.freedesktop.DBus.Properties"))
    )
    send(reader, "SCAN " + finger)


if __name__ == "__main__":
    commands = {"store-passphrase": store_passphrase, "enrol": enrol, "scan": scan}
    commands[sys.argv[1]](*sys.argv[2:])
