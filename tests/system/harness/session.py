"""A throwaway desktop session: a fresh HOME, a private session bus, a display and a
keyring, and a teardown that ends every process started in it.

Every process of a session carries a marker variable in its environment, so that
daemons which detach (a panel's helpers) are found and ended too, with their descendants.
"""

import contextlib
import os
import pwd
import secrets
import shutil
import signal
import subprocess
import tempfile
import time

from . import bus
from .waiting import wait_for

# Nothing of the caller's desktop may leak in: its bus would start services with the
# wrong HOME, its keyring or display would make a run depend on the machine.
CALLERS_DESKTOP = """DBUS_SESSION_BUS_ADDRESS DBUS_SESSION_BUS_PID DBUS_STARTER_ADDRESS
    DBUS_STARTER_BUS_TYPE GNOME_KEYRING_CONTROL SSH_AUTH_SOCK DISPLAY WAYLAND_DISPLAY XAUTHORITY
    SESSION_MANAGER INVOCATION_ID XDG_SESSION_TYPE XDG_SESSION_DESKTOP XDG_CURRENT_DESKTOP
    DESKTOP_SESSION QT_QPA_PLATFORM QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE QT_SCALE_FACTOR
    QT_SCREEN_SCALE_FACTORS""".split()

BUS_CONFIG = """<busconfig>
  <type>session</type>
  <listen>unix:dir={dir}</listen>
  <auth>EXTERNAL</auth>
  <servicedir>{services}</servicedir>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""

# Only what a test lists is activatable; the accessibility bus is what Qt and AT-SPI use.
ACTIVATABLE = {"org.a11y.Bus": "/usr/libexec/at-spi-bus-launcher"}


class Session:
    """display: "x11", "wayland" (headless weston) or None; keyring: an unlocked
    gnome-keyring; user: run the session's processes as this user (sway refuses root)."""

    def __init__(self, display="x11", keyring=True, user=None, screen=(1280, 1024), activatable=None):
        self.dir = tempfile.mkdtemp(prefix="orlinde-session.")
        os.chmod(self.dir, 0o755)
        self.user = pwd.getpwnam(user) if user and os.getuid() == 0 else None
        self.marker = ("ORLINDE_TEST_SESSION", self.dir)
        self.spawned = []
        self.env = {k: v for k, v in os.environ.items() if k not in CALLERS_DESKTOP}
        home = self.path("home")
        self.env.update(HOME=home, XDG_RUNTIME_DIR=self.path("run"), TMPDIR=self.path("tmp"),
                        XDG_CONFIG_HOME=f"{home}/.config", XDG_DATA_HOME=f"{home}/.local/share",
                        XDG_CACHE_HOME=f"{home}/.cache", NO_AT_BRIDGE="1")
        for name in ("home/.config", "home/.local/share", "home/.cache", "tmp", "bus", "services"):
            os.makedirs(self.path(name))
        os.mkdir(self.path("run"), 0o700)
        if self.user:
            for root, dirs, files in os.walk(self.dir):
                for name in dirs + files + ["."]:
                    os.chown(os.path.join(root, name), self.user.pw_uid, self.user.pw_gid)
        try:
            # The display first: the services the bus starts (prompters, the
            # accessibility bus) show themselves on it.
            if display == "x11":
                self.env.update(DISPLAY=self.start_x(screen), QT_QPA_PLATFORM="xcb")
            elif display == "wayland":
                self.start_weston(screen)
            self._start_bus({**ACTIVATABLE, **(activatable or {})})
            if keyring:
                self.start_keyring()
        except BaseException:
            self.close()
            raise

    def path(self, name):
        return os.path.join(self.dir, name)

    def spawn(self, args, log=None, env=None, **kw):
        """Starts a process of the session; its output goes to `log` in the session
        directory (or is kept as a pipe when log is "pipe")."""
        out = subprocess.PIPE if log == "pipe" else open(self.path(log or "spawned.log"), "ab")
        environment = {**self.env, **(env or {}), self.marker[0]: self.marker[1]}
        if self.user:
            kw.update(user=self.user.pw_uid, group=self.user.pw_gid, extra_groups=[])
        kw.setdefault("stdin", subprocess.DEVNULL)
        process = subprocess.Popen(args, env=environment, stdout=out,
                                   stderr=subprocess.STDOUT if log != "pipe" else subprocess.PIPE, **kw)
        self.spawned.append(process)
        return process

    def run(self, args, input=None, timeout=60, env=None, check=False):
        """Runs a command of the session to its end; its CompletedProcess."""
        environment = {**self.env, **(env or {}), self.marker[0]: self.marker[1]}
        kw = dict(user=self.user.pw_uid, group=self.user.pw_gid, extra_groups=[]) if self.user else {}
        return subprocess.run(args, env=environment, input=input, capture_output=True,
                              timeout=timeout, check=check, **kw)

    def _start_bus(self, activatable):
        for name, executable in activatable.items():
            with open(self.path(f"services/{name}.service"), "w") as service:
                service.write(f"[D-BUS Service]\nName={name}\nExec={executable}\n")
        with open(self.path("bus.conf"), "w") as config:
            config.write(BUS_CONFIG.format(dir=self.path("bus"), services=self.path("services")))
        # No dconf here: the services it starts keep settings in memory; what they say lands in bus.log.
        self.address = self.spawn_reporting(["dbus-daemon", f"--config-file={self.path('bus.conf')}", "--nofork",
                                             "--print-address={fd}"], "bus.log",
                                            env={"GSETTINGS_BACKEND": "memory", "G_MESSAGES_DEBUG": "all"})
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.address
        self.bus = bus.connect(self.address)

    def start_x(self, screen, options=("-noreset", "-r"), log="xvfb.log"):
        """The name of a new Xvfb display, which picks a free number itself. By default it
        outlives its last client and has no autorepeat (-r), so a key released late by a
        loaded machine repeats into no other window."""
        return ":" + self.spawn_reporting(["Xvfb", "-displayfd", "{fd}", "-screen", "0", f"{screen[0]}x{screen[1]}x24",
                                           "-nolisten", "tcp", *options], log)

    def spawn_reporting(self, args, log, **kw):
        """Starts a process that tells it is ready by a line on the descriptor "{fd}" in `args` names; that line."""
        read, write = os.pipe()
        self.spawn([arg.replace("{fd}", str(write)) for arg in args], log=log, pass_fds=(write,), **kw)
        os.close(write)
        with os.fdopen(read) as reported:
            if line := reported.readline().strip():
                return line
        raise RuntimeError(f"{args[0]} did not start: " + self.log(log))

    def start_weston(self, screen):
        socket = "wayland-" + os.path.basename(self.dir).split(".")[-1]
        self.spawn(["weston", "--backend=headless-backend.so", f"--socket={socket}", "--idle-time=0",
                    f"--width={screen[0]}", f"--height={screen[1]}"], log="weston.log")
        wait_for(lambda: os.path.exists(self.path(f"run/{socket}")), 15, "weston to listen")
        self.env.update(WAYLAND_DISPLAY=socket, XDG_SESSION_TYPE="wayland", QT_QPA_PLATFORM="wayland")

    def start_keyring(self, password=None, login=True):
        """gnome-keyring as a login leaves it: the login keyring unlocked with `password` (one nobody
        knows by default); without `login`, none at all. The first start creates the keyring with the
        password, later ones unlock it. In the foreground, so that what it says lands in its log."""
        daemon = self.spawn(["gnome-keyring-daemon", "--foreground", "--components=secrets"]
                            + (["--unlock"] if login else []), log="gnome-keyring.log",
                            env={"G_MESSAGES_DEBUG": "all"}, stdin=subprocess.PIPE)
        with daemon.stdin:
            daemon.stdin.write((password or secrets.token_hex(12)).encode() if login else b"")
        wait_for(lambda: bus.owner(self.bus, "org.freedesktop.secrets") or daemon.poll() is not None, 30, "a keyring")
        if daemon.poll() is not None:
            raise RuntimeError("gnome-keyring did not start: " + self.log("gnome-keyring.log"))

    def log(self, name, tail=4000):
        try:
            with open(self.path(name), errors="replace") as text:
                return text.read()[-tail:]
        except OSError:
            return ""

    def logs(self):
        return "".join(f"--- {n}\n{self.log(n, 20_000)}\n" for n in sorted(os.listdir(self.dir)) if n.endswith(".log"))

    def processes(self):
        """The session's live processes: those carrying the marker or naming the session's folder
        (a browser whose title overwrote its environment), and their descendants (its helpers)."""
        tag, folder = f"{self.marker[0]}={self.marker[1]}".encode(), (self.dir + "/").encode()
        table = process_table()
        found = {pid for pid, (_, environ, command) in table.items() if tag in environ.split(b"\0") or folder in command}
        while children := {pid for pid, (parent, _, _) in table.items() if parent in found} - found:
            found |= children
        return found

    def close(self):
        """SIGTERM to every process of the session, SIGKILL to what is left after 5 s."""
        for sig, grace in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
            for pid in self.processes():
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, sig)
            deadline = time.monotonic() + grace
            while self.processes() and time.monotonic() < deadline:  # an unreaped child counts as ended
                time.sleep(0.05)
        for process in self.spawned:
            process.poll()
        shutil.rmtree(self.dir, ignore_errors=True)


def process_table():
    """Every live process but this one: {pid: (parent, environment, command line)}."""
    table = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit() and int(entry) != os.getpid():
            with contextlib.suppress(OSError, ValueError), open(f"/proc/{entry}/stat") as stat, \
                    open(f"/proc/{entry}/environ", "rb") as environ, open(f"/proc/{entry}/cmdline", "rb") as command:
                state, parent = stat.read().rpartition(")")[2].split()[:2]
                # A leader that has ended lingers as a zombie while its other threads still run.
                if state != "Z" or len(os.listdir(f"/proc/{entry}/task")) > 1:
                    table[int(entry)] = (int(parent), environ.read(), command.read())
    return table
