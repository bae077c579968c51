'''dbusmock template: the environment verbs of a user's systemd manager, as systemctl --user uses them.

Debian 12's dbusmock has a systemd template without them; SetEnvironment and UnsetEnvironment
here edit the Environment property that `systemctl --user show-environment` reads.
'''
import dbus

BUS_NAME = 'org.freedesktop.systemd1'
MAIN_OBJ = '/org/freedesktop/systemd1'
MAIN_IFACE = 'org.freedesktop.systemd1.Manager'
SYSTEM_BUS = False

# Method code runs under exec(): plain loops, since a comprehension would not see `args`.
KEEP_OTHERS = f'''
names = set()
for assignment in args[0]:
    names.add(assignment.split("=", 1)[0])
env = []
for entry in self.Get("{MAIN_IFACE}", "Environment"):
    if entry.split("=", 1)[0] not in names:
        env.append(entry)
'''


def load(mock, _parameters):
    mock.AddProperty(MAIN_IFACE, 'Environment', dbus.Array([], signature='s'))
    mock.AddMethods(MAIN_IFACE, [
        ('SetEnvironment', 'as', '', KEEP_OTHERS + f'''
self.UpdateProperties("{MAIN_IFACE}", {{"Environment": dbus.Array(env + list(args[0]), signature="s")}})
'''),
        ('UnsetEnvironment', 'as', '', KEEP_OTHERS + f'''
self.UpdateProperties("{MAIN_IFACE}", {{"Environment": dbus.Array(env, signature="s")}})
'''),
    ])
