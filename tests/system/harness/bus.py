"""Calls and exported objects on a session bus, through GDBus."""

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

from .waiting import serve  # noqa: E402

DBUS = ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus")


def connect(address):
    flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
             | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
    return Gio.DBusConnection.new_for_address_sync(address, flags, None, None)


def call(connection, name, path, interface, method, signature="", args=(), timeout_ms=10_000):
    """The reply's values as a tuple, served while waiting so that objects of this
    process can answer the callee; raises GLib.Error for an error reply."""
    outcome = []
    connection.call(name, path, interface, method,
                    GLib.Variant(f"({signature})", tuple(args)) if signature else None, None,
                    Gio.DBusCallFlags.NO_AUTO_START, timeout_ms, None, lambda source, result: outcome.append(result))
    while not outcome:
        GLib.MainContext.default().iteration(True)
    reply = connection.call_finish(outcome[0])
    return reply.unpack() if reply else ()


def error_name(call_result):
    """The D-Bus error name of a failed call(...) given as a lambda; None on success.
    No answer at all is no error reply: it is raised."""
    try:
        call_result()
    except GLib.Error as error:
        if not Gio.DBusError.is_remote_error(error):
            raise
        return Gio.DBusError.get_remote_error(error)
    return None


def get(connection, name, path, interface, prop):
    return call(connection, name, path, "org.freedesktop.DBus.Properties", "Get", "ss", (interface, prop))[0]


def pid_of(connection, name):
    try:
        return call(connection, *DBUS, "GetConnectionUnixProcessID", "s", (name,))[0]
    except GLib.Error:
        return None


def owner(connection, name):
    try:
        return call(connection, *DBUS, "GetNameOwner", "s", (name,))[0]
    except GLib.Error:
        return None


class Exported:
    """An object of this process on the bus: `methods` maps a method name to a
    function(sender, *args) returning the reply's values as a tuple; `properties` maps
    a name to a function() giving a GLib.Variant."""

    def __init__(self, connection, path, introspection, methods, properties=None):
        self.connection = connection
        self.path = path
        self.interface = Gio.DBusNodeInfo.new_for_xml(introspection).interfaces[0]
        self.methods = methods
        self.properties = properties or {}
        self.id = connection.register_object(path, self.interface, self._call, self._get, None)

    def _call(self, connection, sender, path, interface, method, args, invocation):
        result = self.methods[method](sender, *args.unpack())
        out = "".join(arg.signature for arg in self.interface.lookup_method(method).out_args)
        invocation.return_value(GLib.Variant(f"({out})", result) if out else None)

    def _get(self, connection, sender, path, interface, prop):
        return self.properties[prop]()

    def emit(self, signal, signature="", args=()):
        self.connection.emit_signal(None, self.path, self.interface.name, signal,
                                    GLib.Variant(f"({signature})", tuple(args)) if signature else None)

    def unexport(self):
        self.connection.unregister_object(self.id)


def own(connection, name, replace=False):
    """Requests `name`; whether this connection now owns it."""
    flags = 0x1 | (0x2 if replace else 0)  # allow replacement, replace existing
    return call(connection, *DBUS, "RequestName", "su", (name, flags))[0] == 1


def release(connection, name):
    call(connection, *DBUS, "ReleaseName", "s", (name,))
    serve()
