"""The desktop's side of the tray: a StatusNotifierWatcher with its host, and a host's
reading of one item and its dbusmenu."""

from gi.repository import Gio, GLib
from PIL import Image

from . import bus
from .waiting import LAUNCH_S, wait_for

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"

WATCHER_XML = f"""<node><interface name="{WATCHER}">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
</interface></node>"""


class Watcher:
    """Owns the watcher's name on a connection of its own while it lives. `host`: "ready"
    (registered from the start), or a host that registers half a second later, or when
    first asked, announced by "signal" or "properties" (PropertiesChanged alone), or
    "never". `misses_early`: the host lists items once, as waybar's does, and never
    shows one registered before it."""

    def __init__(self, session, host="ready", misses_early=False):
        self.connection = bus.connect(session.address)
        self.session_bus = session.bus
        self.host, self.host_registered, self.misses_early = host, host == "ready", misses_early
        self.items, self.shown = [], []  # (sender, path): in the order registered; those the host shows
        self.object = bus.Exported(self.connection, WATCHER_PATH, WATCHER_XML, {
            "RegisterStatusNotifierItem": self._register_item,
            "RegisterStatusNotifierHost": lambda sender, name: (),
        }, {
            "RegisteredStatusNotifierItems": lambda: GLib.Variant("as", [s + p for s, p in self.items]),
            "IsStatusNotifierHostRegistered": self._asked_for_host,
        })
        self.take(replace=True)
        if not self.host_registered:
            GLib.timeout_add(500, self.register_host)

    def take(self, replace=False):
        assert bus.own(self.connection, WATCHER, replace), "could not own the watcher's name"

    def release(self):
        bus.release(self.connection, WATCHER)

    def _asked_for_host(self):
        if not self.host_registered and not self.misses_early:
            GLib.timeout_add(1, self.register_host)
        return GLib.Variant("b", self.host_registered)

    def register_host(self):
        if self.host_registered or self.host == "never":
            return False
        self.host_registered = True
        if self.host == "properties":
            changed = (WATCHER, {"IsStatusNotifierHostRegistered": GLib.Variant("b", True)}, [])
            self.connection.emit_signal(None, WATCHER_PATH, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                                        GLib.Variant("(sa{sv}as)", changed))
        else:
            self.object.emit("StatusNotifierHostRegistered")
        return False

    def _register_item(self, sender, service_or_path):
        item = ((sender, service_or_path) if service_or_path.startswith("/")
                else (bus.owner(self.connection, service_or_path) or service_or_path, "/StatusNotifierItem"))
        self.items.append(item)
        if self.host_registered or not self.misses_early:
            self.shown.append(item)
        self.object.emit("StatusNotifierItemRegistered", "s", (item[0] + item[1],))
        return ()

    def item_of(self, pid, seconds=LAUNCH_S):
        """The TrayItem of process `pid` once its host shows it."""
        def registered():
            for service, path in self.shown:
                if bus.pid_of(self.connection, service) == pid:
                    return service, path
        service, path = wait_for(registered, seconds, f"a tray item of process {pid}")
        return TrayItem(self.session_bus, service, path)

    def close(self):
        bus.release(self.connection, WATCHER)
        self.object.unexport()
        self.connection.close_sync(None)


def image(width, height, argb):
    """A PIL image from the protocol's ARGB32 in network byte order."""
    pixels = bytes(argb)
    rgba = bytearray(len(pixels))
    rgba[0::4], rgba[1::4], rgba[2::4], rgba[3::4] = pixels[1::4], pixels[2::4], pixels[3::4], pixels[0::4]
    return Image.frombytes("RGBA", (width, height), bytes(rgba))


class TrayItem:
    """What a tray host reads of one item, asked afresh each time."""

    def __init__(self, connection, service, path):
        self.connection, self.service, self.path = connection, service, path

    def prop(self, name):
        return bus.get(self.connection, self.service, self.path, ITEM, name)

    def call(self, method, signature="", args=()):
        return bus.call(self.connection, self.service, self.path, ITEM, method, signature, args)

    def record_signals(self):
        """A list that receives the name of every signal the item's process sends from
        now on, its menu's too."""
        received = []
        self.connection.signal_subscribe(self.service, None, None, None, None, Gio.DBusSignalFlags.NONE,
                                         lambda *signal: received.append(signal[4]))
        return received

    def tooltip(self):
        """(title, text) of the ToolTip property."""
        _, _, title, text = self.prop("ToolTip")
        return title, text

    def pixmaps(self):
        """The icon's images, largest first."""
        images = [image(w, h, data) for w, h, data in self.prop("IconPixmap")]
        return sorted(images, key=lambda i: -i.width)

    def menu_call(self, method, signature="", args=(), timeout_ms=10_000):
        return bus.call(self.connection, self.service, self.prop("Menu"), MENU, method, signature, args, timeout_ms)

    def layout(self):
        """The root entry: {"id", "props", "children"}."""
        def node(value):
            entry_id, props, children = value
            return {"id": entry_id, "props": props, "children": [node(c) for c in children]}
        return node(self.menu_call("GetLayout", "iias", (0, -1, []))[1])

    def entries(self):
        """Each entry as a person reads it: "---", or the label with " (disabled)" and
        " [x]"/" [ ]" for a check mark."""
        described = []
        for child in self.layout()["children"]:
            props = child["props"]
            if props.get("type") == "separator":
                described.append("---")
                continue
            text = props.get("label", "")
            if not props.get("enabled", True):
                text += " (disabled)"
            if "toggle-type" in props:
                text += " [x]" if props.get("toggle-state") == 1 else " [ ]"
            described.append(text)
        return described

    def entry_id(self, label):
        for child in self.layout()["children"]:
            if child["props"].get("label") == label:
                return child["id"]
        raise AssertionError(f"no menu entry {label!r} in {self.entries()}")

    def click(self, label):
        """Activates the entry as a click in the host's menu would."""
        self.menu_call("Event", "isvu", (self.entry_id(label), "clicked", GLib.Variant("i", 0), 0))

    def status_line(self):
        return self.layout()["children"][0]["props"].get("label")

    def wait_for_status(self, text, seconds=LAUNCH_S):
        return wait_for(lambda: self.status_line() == text, seconds, f"the status line {text!r}")

    def wait_for_entries(self, wanted, seconds=LAUNCH_S):
        """Until every text in `wanted` is among entries()."""
        return wait_for(lambda: set(wanted) <= set(self.entries()) and self.entries(), seconds,
                        f"menu entries {wanted}")


NOTIFICATIONS_XML = """<node><interface name="org.freedesktop.Notifications">
  <method name="Notify"><arg type="s" direction="in"/><arg type="u" direction="in"/>
    <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="s" direction="in"/>
    <arg type="as" direction="in"/><arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
    <arg type="u" direction="out"/></method>
</interface></node>"""


class NotificationArea:
    """The desktop's notification server, recording (app name, body) of each notice."""

    def __init__(self, session):
        self.received = []
        self.object = bus.Exported(session.bus, "/org/freedesktop/Notifications", NOTIFICATIONS_XML, {
            "Notify": lambda sender, app, _id, icon, summary, body, *rest:
                self.received.append((app, body)) or (len(self.received),),
        })
        assert bus.own(session.bus, "org.freedesktop.Notifications")
