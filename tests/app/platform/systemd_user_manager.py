'''dbusmock template: a user's systemd manager with the Environment property and verbs systemctl --user uses.'''
import dbus

BUS_NAME = 'org.freedesktop.systemd1'
MAIN_OBJ = '/org/freedesktop/systemd1'
MAIN_IFACE = 'org.freedesktop.systemd1.Manager'
SYSTEM_BUS = False


def edit(mock, names, added):
    kept = [entry for entry in mock.Get(MAIN_IFACE, 'Environment') if entry.split('=', 1)[0] not in names]
    mock.UpdateProperties(MAIN_IFACE, {'Environment': dbus.Array(kept + added, signature='s')})


def load(mock, _parameters):
    mock.AddProperty(MAIN_IFACE, 'Environment', dbus.Array([], signature='s'))
    mock.AddMethods(MAIN_IFACE, [
        ('SetEnvironment', 'as', '', lambda self, sets: edit(self, {s.split('=', 1)[0] for s in sets}, list(sets))),
        ('UnsetEnvironment', 'as', '', lambda self, names: edit(self, set(names), [])),
    ])
