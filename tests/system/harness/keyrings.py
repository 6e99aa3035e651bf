"""The Secret Service providers Debian ships, each started in a session as a login
leaves it (gnome-keyring, KWallet, KeePassXC), and the person at the screen who answers
their prompts. Every process they start belongs to the session and ends with it."""

import base64
import glob
import hashlib
import os
import re
import secrets
import shutil
import signal
import socket
import subprocess
import threading
import time
import uuid
from xml.etree import ElementTree

from gi.repository import Gio, GLib

from . import bus
from .waiting import wait_for

SECRETS = "org.freedesktop.secrets"
SERVICE = ("/org/freedesktop/secrets", "org.freedesktop.Secret.Service")
PROMPT = "org.freedesktop.Secret.Prompt"
DASHBOARD = {"service": "com.tovrex.orlinde.dashboard", "account": "dashboard"}
START_S = 30  # a provider starts in a few seconds, even on a loaded machine
# A person answers after a few seconds: longer than the app waits for a service that
# does not answer at all, so an early give-up shows.
REACTION_S = 5
PROMPTER = "/usr/libexec/gcr-prompter"


class Unavailable(Exception):
    """The provider cannot run on this machine; the reason says why."""


def answering(condition):
    """condition, false while the service it asks is not (yet) on the bus."""
    def asked():
        try:
            return condition()
        except GLib.Error:
            return False
    return asked


class Keyring:
    """One provider on the session's bus, its store unlocked; `password` unlocks it and
    is hex only, so that the person can type it."""

    name = ""
    needs = ()
    prompts = ()  # (xdotool search arguments, kind of answer)

    def __init__(self, session, **settings):
        self.session = session
        self.settings = settings
        self.password = "pw" + secrets.token_hex(12)
        self.dir = session.path(self.name)
        os.makedirs(self.dir)
        self.start()

    def start(self):
        began = time.monotonic()
        self.launch()
        wait_for(answering(self.ready), START_S, f"{self.name} to offer an unlocked store")
        print(f"{self.name} started in {time.monotonic() - began:.2f} s")

    def call(self, path, interface, method, signature="", args=(), timeout_ms=25_000):
        return bus.call(self.session.bus, SECRETS, path, interface, method, signature, args, timeout_ms)

    def service(self, method, signature="", args=()):
        return self.call(*SERVICE, method, signature, args)

    def default_collection(self):
        """Its path, or None while the provider has none (or is still starting)."""
        try:
            path = self.call(SERVICE[0], SERVICE[1], "ReadAlias", "s", ("default",), 3000)[0]
        except GLib.Error:
            return None
        return None if path == "/" else path

    def is_locked(self):
        return bus.get(self.session.bus, SECRETS, self.default_collection(),
                       "org.freedesktop.Secret.Collection", "Locked")

    def ready(self):
        return self.default_collection() and not self.is_locked()

    def lock(self):
        self.service("Lock", "ao", ([self.default_collection()],))
        wait_for(self.is_locked, START_S, "the store to lock")

    def unlock(self):
        """As a login does it, without a prompt."""
        if not self.ready():
            self.unlock_as_login()
            wait_for(self.ready, START_S, "the store to unlock")

    def kill(self):
        """SIGKILL to the owner of the Secret Service's name; when it was sent."""
        os.kill(bus.pid_of(self.session.bus, SECRETS), signal.SIGKILL)
        killed = time.monotonic()
        wait_for(lambda: bus.owner(self.session.bus, SECRETS) is None, START_S,
                 f"{self.name}'s name to leave the bus")
        return killed

    def items(self):
        """The dashboard items' paths: (unlocked, locked)."""
        return self.service("SearchItems", "a{ss}", (DASHBOARD,))

    def keys(self):
        """The secret of every dashboard item, ordered by path; answers at once any
        prompt this read causes itself."""
        self.unlock()
        unlocked, locked = self.items()
        if locked:  # KeePassXC keeps an item locked to each client until access is allowed
            self.complete(self.service("Unlock", "ao", (locked,))[1])
        session = self.service("OpenSession", "sv", ("plain", GLib.Variant("s", "")))[1]
        found = self.service("GetSecrets", "aoo", (unlocked + locked, session))[0]
        assert len(found) == len(unlocked + locked), f"{len(found)} of {len(unlocked + locked)} read"
        return [bytes(found[path][2]) for path in sorted(found)]

    def complete(self, prompt):
        if prompt == "/":
            return
        done = []
        subscription = self.session.bus.signal_subscribe(
            None, PROMPT, "Completed", prompt, None, Gio.DBusSignalFlags.NONE,
            lambda *received: done.append(received[5].unpack()))
        self.call(prompt, PROMPT, "Prompt", "s", ("",))
        answered = set()

        def answer_new_windows():
            for window, kind in self.windows():
                if window not in answered:
                    answered.add(window)
                    self.answer(window, kind, "unlock")
            return done
        wait_for(answer_new_windows, START_S, f"the prompt {prompt} to complete")
        self.session.bus.signal_unsubscribe(subscription)
        assert not done[0][0], f"the prompt {prompt} was dismissed"

    def xdotool(self, *args):
        return self.session.run(["xdotool", *args], timeout=20).stdout.decode().strip()

    def windows(self):
        """The provider's prompts on the screen: [(window, kind)]."""
        found = []
        for search, kind in self.prompts:
            found += [(w, kind) for w in self.xdotool("search", "--onlyvisible", *search).split()]
        return found

    def answer(self, window, kind, policy):
        """Types an answer into the window: "unlock" (the password where one is asked,
        twice for a new store; else the default button, "Remember" as offered) or
        "cancel"."""
        focus = ["windowfocus", "--sync", window]
        typing = [*focus, "type", "--delay", "20", self.password]
        keys = {"cancel": [[*focus, "key", "Escape"]],
                "password": [typing, ["key", "Return"]],
                "new password": [typing, ["key", "Tab"], typing, ["key", "Return"]],
                "confirm": [[*focus, "key", "Return"]]}["cancel" if policy == "cancel" else kind]
        for command in keys:
            self.xdotool(*command)


class GnomeKeyring(Keyring):
    """settings: login (False: no login keyring, as after an autologin), prompts (False:
    no prompter can be started)."""

    name = "gnome-keyring"
    needs = ("gnome-keyring-daemon", PROMPTER)
    prompts = ((("--class", "^gcr-prompter$"), "password"),)

    def launch(self):
        # Services the bus starts take its environment, which predates the display.
        login = self.settings.get("login", True)
        # It forks its daemon, which creates the login keyring with the password the
        # first time and unlocks it with the same password afterwards.
        self.session.run(["gnome-keyring-daemon", "--components=secrets"] + (["--unlock"] if login else []),
                         input=self.password.encode() if login else None, timeout=START_S, check=True)

    def ready(self):
        if not self.settings.get("login", True):
            return bus.owner(self.session.bus, SECRETS)
        return super().ready()

    def windows(self):
        # Its unlock prompt is titled "Unlock ..."; the one for a new keyring has no title.
        return [(w, "password" if self.xdotool("getwindowname", w) else "new password")
                for w, _ in super().windows()]

    def unlock_as_login(self):
        # seahorse's way in: the master password over a plain session, no prompt.
        session = self.service("OpenSession", "sv", ("plain", GLib.Variant("s", "")))[1]
        self.call(SERVICE[0], "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                  "UnlockWithMasterPassword", "o(oayays)",
                  (self.default_collection(), (session, b"", self.password.encode(), "text/plain")))


class KWallet(Keyring):
    name = "kwallet"
    needs = ("kwalletd5",)
    prompts = ((("--name", "^KDE Wallet Service$"), "password"),)
    wallet = "kdewallet"

    def kwallet(self, method, signature="", args=()):
        return bus.call(self.session.bus, "org.kde.kwalletd5", "/modules/kwalletd5", "org.kde.KWallet",
                        method, signature, args)

    def is_open(self):
        return self.kwallet("isOpen", "s", (self.wallet,))[0]

    def password_hash(self):
        # pam_kwallet's key: PBKDF2-SHA512, 50,000 rounds, 56 bytes, salted per wallet.
        data = os.path.join(self.session.env["XDG_DATA_HOME"], "kwalletd")
        os.makedirs(data, exist_ok=True)
        salt = os.path.join(data, f"{self.wallet}.salt")
        if not os.path.exists(salt):
            with open(salt, "wb") as out:
                out.write(os.urandom(56))
        with open(salt, "rb") as stored:
            return hashlib.pbkdf2_hmac("sha512", self.password.encode(), stored.read(56), 50_000, 56)

    def start_as_login(self):
        # As pam_kwallet5 does: the hash on a pipe, then an (empty) environment on a
        # socket whose path is in PAM_KWALLET5_LOGIN.
        key = self.password_hash()
        path = os.path.join(self.dir, "pam.socket")
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as listener:
            listener.bind(path)
            listener.listen(1)
            read, write = os.pipe()
            self.session.spawn(["kwalletd5", "--pam-login", str(read), str(listener.fileno())],
                               log="kwalletd5.log", env={"PAM_KWALLET5_LOGIN": path},
                               pass_fds=(read, listener.fileno()), start_new_session=True)
            os.close(read)
            os.write(write, key)
            os.close(write)
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as environment:
                environment.connect(path)
        os.unlink(path)

    def launch(self):
        with open(os.path.join(self.session.env["XDG_CONFIG_HOME"], "kwalletrc"), "w") as rc:
            rc.write(f"[Wallet]\nFirst Use=false\nDefault Wallet={self.wallet}\n")
        data = os.path.join(self.session.env["XDG_DATA_HOME"], "kwalletd")
        if not os.path.exists(os.path.join(data, f"{self.wallet}.kwl")):
            # The first login creates the wallet; its Secret Service side lists only
            # wallets that existed when it started, so it starts again afterwards.
            self.start_as_login()
            wait_for(answering(self.is_open), START_S, "kwalletd5 to open the new wallet")
            self.kwallet("close", "sb", (self.wallet, True))
            pid = bus.pid_of(self.session.bus, SECRETS)
            os.kill(pid, signal.SIGTERM)
            wait_for(lambda: bus.owner(self.session.bus, SECRETS) is None, START_S, "kwalletd5 to stop")
        self.start_as_login()

    def ready(self):
        # Its Secret Service side calls the collection locked until a client unlocks it,
        # which then succeeds without a dialog: what a login leaves.
        return self.default_collection() and self.is_open()

    def lock(self):
        self.kwallet("close", "sb", (self.wallet, True))
        wait_for(lambda: not self.is_open() and self.is_locked(), START_S, "the wallet to close")

    def unlock(self):
        if not self.is_open():
            # pamOpen never replies.
            message = Gio.DBusMessage.new_method_call("org.kde.kwalletd5", "/modules/kwalletd5",
                                                      "org.kde.KWallet", "pamOpen")
            message.set_body(GLib.Variant("(sayi)", (self.wallet, self.password_hash(), 0)))
            message.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
            self.session.bus.send_message(message, Gio.DBusSendMessageFlags.NONE)
            wait_for(self.is_open, START_S, "the wallet to open")
        if self.is_locked():
            # Its Secret Service side learns of a wallet opened elsewhere only through an
            # Unlock of its own, which then completes without a dialog.
            self.complete(self.service("Unlock", "ao", ([self.default_collection()],))[1])


class KeePassXC(Keyring):
    """settings: [FdoSecrets] values (UnlockBeforeSearch, ConfirmAccessItem), every
    other one at KeePassXC's default."""

    name = "keepassxc"
    needs = ("keepassxc", "keepassxc-cli")
    prompts = ((("--name", "^Unlock Database - KeePassXC$"), "password"),
               (("--name", "Access Request$"), "confirm"))

    def database(self):
        return os.path.join(self.dir, "store.kdbx")

    def cli(self, *args, answers=1):
        return self.session.run(["keepassxc-cli", *args], input=(self.password + "\n").encode() * answers,
                                timeout=START_S, check=True).stdout.decode()

    def create(self):
        # The exposed group lives only in the database's custom data, which the CLI
        # cannot set: export to XML, add it there, import.
        draft = os.path.join(self.dir, "draft.kdbx")
        self.cli("db-create", "--set-password", "--decryption-time", "100", draft, answers=2)
        self.cli("mkdir", draft, "Secrets")
        xml = self.cli("export", "--format", "xml", draft)
        group = re.search(r"<UUID>([^<]+)</UUID>\s*<Name>Secrets</Name>", xml).group(1)
        custom = ("<CustomData><Item><Key>FDO_SECRETS_EXPOSED_GROUP</Key>"
                  f"<Value>{{{uuid.UUID(bytes=base64.b64decode(group))}}}</Value></Item></CustomData>")
        xml = re.sub(r"<CustomData>.*?</CustomData>|<CustomData/>", "", xml, flags=re.S)
        source = os.path.join(self.dir, "store.xml")
        with open(source, "w") as out:
            out.write(xml.replace("</Meta>", custom + "</Meta>", 1))
        self.cli("import", "--set-password", "--decryption-time", "100", source, self.database(), answers=2)

    def launch(self):
        if not os.path.exists(self.database()):
            self.create()
        fdo = {"Enabled": "true", "ShowNotification": "false", "ConfirmDeleteItem": "false", **self.settings}
        config = os.path.join(self.session.env["XDG_CONFIG_HOME"], "keepassxc")
        os.makedirs(config, exist_ok=True)
        with open(os.path.join(config, "keepassxc.ini"), "w") as ini:
            ini.write("[General]\nConfigVersion=2\nSingleInstance=false\nRememberLastDatabases=false\n"
                      "OpenPreviousDatabasesOnStartup=false\n[FdoSecrets]\n"
                      + "".join(f"{k}={v}\n" for k, v in fdo.items()))
        keepassxc = self.session.spawn(["keepassxc", "--pw-stdin", self.database()], log="keepassxc.log",
                                       stdin=subprocess.PIPE, start_new_session=True)
        keepassxc.stdin.write((self.password + "\n").encode())
        keepassxc.stdin.close()

    def main_window(self, method, signature="", args=()):
        return bus.call(self.session.bus, "org.keepassxc.KeePassXC.MainWindow", "/keepassxc",
                        "org.keepassxc.KeePassXC.MainWindow", method, signature, args)

    def saved_items(self):
        """The entries of the exposed group in the database file, by UUID in hex."""
        for group in ElementTree.fromstring(self.cli("export", "--format", "xml", self.database())).iter("Group"):
            if group.findtext("Name") == "Secrets":
                return {base64.b64decode(entry.findtext("UUID")).hex() for entry in group.iter("Entry")}
        return set()

    def lock(self):
        # KeePassXC saves a change 150 ms later, and a lock that comes while it saves
        # drops the change. A person locks long after, so the change is on disk first.
        live = {os.path.basename(path) for path in sum(self.items(), [])}
        wait_for(lambda: live == self.saved_items(), START_S, "KeePassXC to save the store")
        self.main_window("lockAllDatabases")
        wait_for(self.is_locked, START_S, "the store to lock")

    def unlock_as_login(self):
        self.main_window("openDatabase", "ss", (self.database(), self.password))


KEYRINGS = {keyring.name: keyring for keyring in (GnomeKeyring, KWallet, KeePassXC)}


def missing(name):
    """Why the provider cannot run here, or None."""
    for tool in KEYRINGS[name].needs + ("Xvfb", "dbus-daemon", "xdotool"):
        if not shutil.which(tool):
            return f"{tool} is not installed"
    # Without QCA's OpenSSL plugin kwalletd refuses every encrypted session.
    if name == "kwallet" and not glob.glob("/usr/lib/*/qca-qt5/crypto/libqca-ossl.so"):
        return "libqca-qt5-2-plugins is not installed"
    return None


def activatable(name, prompts=True):
    """The bus services a session with this provider offers: gnome-keyring's prompter."""
    if name != "gnome-keyring" or not prompts:
        return {}
    return {service: PROMPTER for service in ("org.gnome.keyring.SystemPrompter",
                                              "org.gnome.keyring.PrivatePrompter")}


def start(session, name, **settings):
    try:
        return KEYRINGS[name](session, **settings)
    except (AssertionError, GLib.Error, subprocess.SubprocessError, OSError) as failure:
        raise Unavailable(f"{name} could not be started: {failure}") from None


class Person(threading.Thread):
    """The person at the screen: answers each prompt of `keyring` `reaction_s` after it
    appears, by `policy`: "unlock", "cancel", or "watch" (never answers). `events`
    holds (seconds since start, "shown"|"unlock"|"cancel"|"closed", kind). Used as a
    context manager; an answer being typed is finished before it ends, since a key left
    pressed would repeat into the next window."""

    def __init__(self, keyring, policy, reaction_s=REACTION_S):
        super().__init__(daemon=True)
        self.keyring, self.policy, self.reaction_s = keyring, policy, reaction_s
        self.events = []
        self.stopping = threading.Event()
        self.began = time.monotonic()

    def note(self, what, kind):
        self.events.append((round(time.monotonic() - self.began, 2), what, kind))

    def run(self):
        seen = {}
        while not self.stopping.is_set():
            visible = dict(self.keyring.windows())
            for window in set(seen) - set(visible):
                self.note("closed", seen.pop(window))
            for window, kind in visible.items():
                if window in seen:
                    continue
                seen[window] = kind
                self.note("shown", kind)
                if self.policy == "watch" or self.stopping.wait(self.reaction_s):
                    continue
                if window in dict(self.keyring.windows()):
                    self.note(self.policy, kind)
                    self.keyring.answer(window, kind, self.policy)
            self.stopping.wait(0.1)

    def seen(self, what):
        return [event for event in self.events if event[1] == what]

    def wait_for(self, what, seconds):
        return wait_for(lambda: self.seen(what), seconds, f"a prompt {what}")

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *failure):
        self.stopping.set()
        self.join()
        if self.events:
            print(f"{self.keyring.name} prompts ({self.policy}):", self.events)


class Store:
    """The app's one-shot store with `key` on its standard input, or with the shell's
    `redirection` of it; `env` values of None remove a variable."""

    def __init__(self, app, key=b"", env=None, redirection=None):
        session = app.session
        environment = {**session.env, **(env or {}), session.marker[0]: session.marker[1]}
        command = [app.executable, "--store-dashboard-key"]
        if redirection:
            command = ["/bin/sh", "-c", f'exec "$0" --store-dashboard-key {redirection}', app.executable]
        self.began = time.monotonic()
        self.process = subprocess.Popen(command, stdin=None if redirection else subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        env={k: v for k, v in environment.items() if v is not None})
        session.processes.append(self.process)
        if not redirection:
            self.process.stdin.write(key)
            self.process.stdin.close()

    def finish(self, seconds):
        """(exit status, or None while it still runs; its output); `seconds` keeps how
        long it ran."""
        try:
            wait_for(lambda: self.process.poll() is not None, seconds, "the store to end")
        except AssertionError:
            return None, b""
        finally:
            self.seconds = time.monotonic() - self.began
        return self.process.returncode, self.process.stdout.read()


def stored(app, key, seconds, figure=None):
    """The store's exit status, once it has printed nothing (the key least of all); with
    `figure`, a line saying how long it took."""
    store = Store(app, key)
    status, output = store.finish(seconds)
    if figure:
        print(f"{figure}: exit {status} after {store.seconds:.2f} s")
    assert output == b"", f"the store printed {output!r}"
    return status


def silent_owner(session):
    """A process that owns the Secret Service's name and never reads a message."""
    owner = session.spawn(["/usr/bin/python3", "-c", SILENT_OWNER, SECRETS], log="pipe")
    assert owner.stdout.readline().strip() == b"owned", owner.stderr.read().decode()


SILENT_OWNER = """import dbus, sys, time
bus = dbus.SessionBus()
bus.request_name(sys.argv[1], dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
print("owned", flush=True)
time.sleep(3600)"""
