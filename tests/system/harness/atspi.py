"""What a screen reader finds in a process's windows, over AT-SPI: how a test reads an
alert's text (which the display server never sees) and presses its buttons."""

from gi.repository import GLib

from . import bus

A11Y_BUS = ("org.a11y.Bus", "/org/a11y/bus")
ACCESSIBLE = "org.a11y.atspi.Accessible"
REGISTRY = ("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root")
# Bounds against a tree that refers back to itself or never ends.
MAX_DEPTH, MAX_OBJECTS = 32, 2000


def enable(session):
    """Turns on the desktop's accessibility switch, as a desktop with a screen reader
    does. Toolkits read it as they start: call it before starting the app."""
    # The bus launcher keeps the switch in GSettings; in memory, it needs no dconf service.
    bus.call(session.bus, *bus.DBUS, "StartServiceByName", "su", (A11Y_BUS[0], 0))
    bus.call(session.bus, *A11Y_BUS, "org.freedesktop.DBus.Properties", "Set", "ssv",
             ("org.a11y.Status", "IsEnabled", GLib.Variant("b", True)))


def _objects(connection, pid):
    """(service, path, name) of every object under process `pid`'s application, depth
    first."""
    found = []

    def visit(service, path, depth):
        if depth > MAX_DEPTH or len(found) >= MAX_OBJECTS:
            return
        try:
            name = bus.get(connection, service, path, ACCESSIBLE, "Name")
            children = bus.call(connection, service, path, ACCESSIBLE, "GetChildren")[0]
        except GLib.Error:
            return
        found.append((service, path, name))
        for child in children:
            visit(*child, depth + 1)

    for service, path in bus.call(connection, *REGISTRY, ACCESSIBLE, "GetChildren")[0]:
        if bus.pid_of(connection, service) == pid:
            visit(service, path, 0)
    return found


def _with_tree(session, pid, use):
    address = bus.call(session.bus, *A11Y_BUS, "org.a11y.Bus", "GetAddress")[0]
    connection = bus.connect(address)
    try:
        bus.call(connection, *bus.DBUS, "StartServiceByName", "su", (REGISTRY[0], 0))
        return use(connection, _objects(connection, pid))
    finally:
        connection.close_sync(None)


def texts_of(session, pid):
    """The accessible names process `pid` shows; empty until it has registered."""
    return _with_tree(session, pid, lambda connection, objects: [name for *_, name in objects if name])


def press(session, pid, label):
    """Presses the control named `label` as assistive technology does; whether one was
    there."""
    def first_action(connection, objects):
        for service, path, name in objects:
            if name == label:
                bus.call(connection, service, path, "org.a11y.atspi.Action", "DoAction", "i", (0,))
                return True
        return False
    return _with_tree(session, pid, first_action)
