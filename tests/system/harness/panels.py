"""Real panels, seen and clicked as a person would: a panel in a session of its own as
an unprivileged user (sway refuses root), screenshots, OCR, and clicks by xdotool on X11
or by swaymsg on sway, whose pointer device is the virtual-pointer client. Screenshots and logs stay in `artifacts`."""

import glob
import io
import json
import os
import shutil
import subprocess

from gi.repository import GLib
from PIL import Image, ImageChops, ImageGrab

from . import bus, screen
from .screen import text
from .app import BUILD
from .session import Session
from .tray import WATCHER, WATCHER_PATH
from .waiting import Timeout, wait_for

SCREEN = (1024, 640)
POINTER = os.path.join(BUILD, "tests/system/virtual-pointer/virtual-pointer")
XFCONFD = next(iter(glob.glob("/usr/lib/*/xfce4/xfconf/xfconfd")), "xfconfd")
BUTTONS = {"left": 1, "right": 3}

XFCE_CONFIG = """<channel name="xfce4-panel" version="1.0"><property name="configver" type="int" value="2"/>
  <property name="panels" type="array"><value type="int" value="1"/><property name="panel-1" type="empty">
    <property name="position" type="string" value="p=6;x=0;y=0"/><property name="size" type="uint" value="30"/>
    <property name="length" type="uint" value="100"/>
    <property name="plugin-ids" type="array"><value type="int" value="1"/></property></property></property>
  <property name="plugins" type="empty"><property name="plugin-1" type="string" value="systray"/></property>
</channel>"""

# Each panel's command and the configuration it reads from the scratch HOME: a bar of
# 30 pixels at the top holding only the tray.
PANELS = {
    "xfce4-panel": (["xfce4-panel", "--disable-wm-check"],
                    {".config/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml": XFCE_CONFIG}),
    "lxqt-panel": (["lxqt-panel"], {".config/lxqt/panel.conf": "panels=panel1\n[panel1]\nplugins=statusnotifier\n"
                                    "position=Top\npanelSize=30\n[statusnotifier]\ntype=statusnotifier\n"}),
    "waybar": (["waybar"],
               {".config/waybar/config": '{"height": 30, "modules-right": ["tray"], "tray": {"icon-size": 22}}'}),
    "trayer": (["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "30",
                "--SetDockType", "true", "--transparent", "false"], {}),
}
WAYLAND, XEMBED = {"waybar"}, {"trayer"}


def missing(name):
    """What this machine lacks to run `name`, for a skip message."""
    return [tool for tool in [PANELS[name][0][0]] + (["sway", POINTER] if name in WAYLAND else [])
            if not shutil.which(tool)]


def overlap(a, b):
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


def sway_nodes(tree):
    yield tree
    for child in tree.get("nodes", []) + tree.get("floating_nodes", []):
        yield from sway_nodes(child)


class Desktop:
    """A session as the user "nobody" for one panel, on X11 or, for waybar, headless sway."""

    def __init__(self, name, artifacts):
        self.name, self.artifacts = name, artifacts
        self.wayland, self.xembed = name in WAYLAND, name in XEMBED
        self.command, config = PANELS[name]
        self.panel = self.pointer_at = None
        self.embedded = []
        shutil.rmtree(artifacts, ignore_errors=True)
        os.makedirs(artifacts)
        self.session = Session(display=None if self.wayland else "x11", keyring=False, user="nobody",
                               screen=SCREEN, activatable={"org.xfce.Xfconf": XFCONFD})
        try:
            for path, content in config.items():
                self.write(f"home/{path}", content)
            if self.wayland:
                self.start_sway()
        except BaseException:
            self.close()
            raise

    def write(self, path, content):
        os.makedirs(os.path.dirname(self.session.path(path)), exist_ok=True)
        with open(self.session.path(path), "w") as out:
            out.write(content)
        if self.session.user:
            user = self.session.user
            subprocess.run(["chown", "-R", f"{user.pw_uid}:{user.pw_gid}", self.session.path("home")], check=True)

    def start_sway(self):
        self.write("sway.conf", "xwayland disable\noutput HEADLESS-1 resolution {}x{}\n".format(*SCREEN))
        self.session.spawn(["sway", "-c", self.session.path("sway.conf")], log="sway.log", env={
            "WLR_BACKENDS": "headless", "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman"})
        run = self.session.path("run")
        socket = wait_for(lambda: [s for s in glob.glob(f"{run}/wayland-*") if not s.endswith(".lock")],
                          20, "sway to listen")[0]
        ipc = wait_for(lambda: glob.glob(f"{run}/sway-ipc.*.sock"), 20, "sway's IPC socket")[0]
        self.session.env.update(WAYLAND_DISPLAY=os.path.basename(socket), SWAYSOCK=ipc,
                                QT_QPA_PLATFORM="wayland", GDK_BACKEND="wayland")
        # A copy the session's user can run: the build tree may lie in root's home.
        pointer = shutil.copy(POINTER, self.session.path("virtual-pointer"))
        assert self.session.spawn([pointer], log="pipe").stdout.readline() == b"ready\n", "no virtual pointer"

    def close(self):
        for log in glob.glob(self.session.path("*.log")):
            shutil.copy(log, self.artifacts)
        self.session.close()

    def run(self, *args):
        return self.session.run(list(map(str, args))).stdout.decode()

    def watcher(self, prop):
        try:
            return bus.get(self.session.bus, WATCHER, WATCHER_PATH, WATCHER, prop)
        except GLib.Error:
            return None

    def start_panel(self):
        """Starts the panel and waits until it is a tray host, not merely started."""
        self.panel = self.session.spawn(self.command, log="panel.log")
        wait_for(lambda: self.run("xdotool", "search", "--onlyvisible", "--class", "trayer") if self.xembed
                 else self.watcher("IsStatusNotifierHostRegistered"), 60, f"{self.name} to become a tray host")

    def stop_panel(self):
        self.panel.terminate()
        self.panel.wait(20)

    def has_item(self, pid):
        """Whether the panel holds the item of process `pid` (the embedded icon in XEmbed)."""
        if self.xembed:  # the embedded icon is a window of the app's, and unmanaged like a popup
            self.embedded = self.popups(pid)
            return self.embedded
        items = self.watcher("RegisteredStatusNotifierItems") or []
        return any(bus.pid_of(self.session.bus, item.split("/")[0]) == pid for item in items)

    def screenshot(self, name="now"):
        if self.wayland:
            shot = Image.open(io.BytesIO(self.session.run(["grim", "-"]).stdout)).convert("RGB")
        else:
            shot = ImageGrab.grab(xdisplay=self.session.env["DISPLAY"])
        shot.save(os.path.join(self.artifacts, f"{name}.png"))
        return shot

    def settled_screenshot(self, name):
        """A screenshot once two in a row agree: a panel that is a host may not be drawn yet."""
        self.park()
        shots = [self.screenshot()]
        wait_for(lambda: shots.append(self.screenshot()) or shots[-1] == shots[-2], 20, f"{self.name} to settle")
        return self.screenshot(name)

    def icon(self, empty):
        """The box (left, top, right, bottom) where the screen differs from `empty`, once it does."""
        def differs():
            self.park()
            box = ImageChops.difference(empty, self.screenshot()).convert("L").point(lambda v: 255 * (v > 25)).getbbox()
            return box if box and box[2] - box[0] > 4 else None
        return wait_for(differs, 20, f"an icon on {self.name} (a difference from the empty panel)")

    def words(self):
        """The words on screen with their boxes, greyed-out ones too, by OCR."""
        self.seen = screen.ocr(self.screenshot().convert("L").point(lambda v: 255 * (v > 224)))
        return self.seen

    def move(self, x, y):
        if (x, y) != self.pointer_at:  # xdotool's --sync would wait for a motion that never comes
            self.pointer_at = (x, y)
            self.run(*["swaymsg", "seat - cursor set"] if self.wayland else ["xdotool", "mousemove", "--sync"], x, y)

    def click(self, x, y, button):
        self.move(x, y)
        self.run(*["swaymsg", f"seat - cursor press button{button}, seat - cursor release button{button}"]
                 if self.wayland else ["xdotool", "click", button])

    def park(self):
        """The pointer away from the panel, so that no hover shows in a screenshot."""
        self.move(SCREEN[0] // 2, SCREEN[1] - 10)


    def open_menu(self, icon, button, *wanted):
        """Clicks the icon's centre; the words of the menu that opens, once it shows `wanted`."""
        self.click((icon[0] + icon[2]) // 2, (icon[1] + icon[3]) // 2, BUTTONS[button])
        self.park()  # a tooltip of the icon's could cover the menu
        what = f"a menu with {wanted} after a {button} click on the icon at {icon}"
        try:
            wait_for(lambda: all(w in text(self.words()) for w in ["Quit for this session", *wanted]), 30, what)
        except Timeout:
            shutil.copy(os.path.join(self.artifacts, "now.png"), os.path.join(self.artifacts, f"failed-{button}.png"))
            raise Timeout(f"expected {what} within 30 s; the screen read: {text(self.seen)!r}") from None
        self.screenshot(f"menu-{button}")
        return self.seen

    def close_menu(self):
        """A click away from the menu, which closes it in every panel (Escape does not in waybar)."""
        self.click(SCREEN[0] // 2, SCREEN[1] // 2, 1)
        wait_for(lambda: "Quit for this" not in text(self.words()), 10, "the menu to close")

    def app_windows(self, pid):
        """How many windows the app shows other than popups (menus, its embedded icon)."""
        if self.wayland:  # sway's tree holds toplevels only
            return sum(n.get("pid") == pid for n in sway_nodes(json.loads(self.run("swaymsg", "-t", "get_tree"))))
        shown = self.run("xdotool", "search", "--onlyvisible", "--pid", pid).split()
        return len(shown) - len(self.popups(pid))

    def popups(self, pid):
        """The boxes (left, top, right, bottom) of the app's unmanaged windows on X11."""
        return [(x, y, x + w, y + h) for x, y, w, h in screen.popups_of(self.session, pid)]

    def menus(self, pid):
        return [box for box in self.popups(pid) if box not in self.embedded]
