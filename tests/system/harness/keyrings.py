"""The Secret Service providers Debian ships (gnome-keyring, KWallet, KeePassXC), each
started in the session as a login leaves it, and the person who answers their prompts."""

import base64
import contextlib
import glob
import hashlib
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import threading
import time
import uuid
from xml.etree import ElementTree

import pytest
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
PROMPTED_S = 2 * REACTION_S + 10  # one prompt or two, answered
PROMPTER = "/usr/libexec/gcr-prompter"


def answering(condition):
    """condition, false while the service it asks is not (yet) on the bus."""
    def asked():
        with contextlib.suppress(GLib.Error):
            return condition()
    return asked


class Keyring:
    """One provider on the session's bus, its store unlocked by `password` (hex, for the
    person to type); one that cannot start here skips the test."""

    prompts = ()  # (xdotool search arguments, kind of answer)
    activatable = {}

    def __init__(self, session, **settings):
        self.session, self.settings = session, settings
        self.password = "pw" + os.urandom(12).hex()
        self.dir = session.path(self.name)
        os.makedirs(self.dir)
        try:
            self.start()
        except (AssertionError, GLib.Error, subprocess.SubprocessError, OSError) as failure:
            pytest.skip(f"{self.name} could not be started: {failure}")

    def start(self):
        began = time.monotonic()
        self.launch()
        wait_for(answering(self.ready), START_S, f"{self.name} to offer an unlocked store")
        print(f"{self.name} started in {time.monotonic() - began:.2f} s")

    def call(self, method, signature="", args=(), path=SERVICE[0], interface=SERVICE[1], timeout_ms=25_000):
        return bus.call(self.session.bus, SECRETS, path, interface, method, signature, args, timeout_ms)

    def default_collection(self):
        path = self.call("ReadAlias", "s", ("default",), timeout_ms=3000)[0]
        return None if path == "/" else path

    def is_locked(self):
        return bus.get(self.session.bus, SECRETS, self.default_collection(),
                       "org.freedesktop.Secret.Collection", "Locked")

    def ready(self):
        return self.default_collection() and not self.is_locked()

    def lock(self):
        self.call("Lock", "ao", ([self.default_collection()],))
        wait_for(self.is_locked, START_S, "the store to lock")

    def unlock(self):
        """As a login does it, without a prompt."""
        if not self.ready():
            self.unlock_as_login()
            wait_for(self.ready, START_S, "the store to unlock")

    def kill(self, sig=signal.SIGKILL):
        """`sig` to the owner of the Secret Service's name; when it was sent."""
        os.kill(bus.pid_of(self.session.bus, SECRETS), sig)
        killed = time.monotonic()
        wait_for(lambda: bus.owner(self.session.bus, SECRETS) is None, START_S, f"{self.name}'s name to leave the bus")
        return killed

    def keys(self):
        """Every dashboard item's secret, by path; answers at once the prompts it causes."""
        self.unlock()
        unlocked, locked = self.call("SearchItems", "a{ss}", (DASHBOARD,))
        if locked:  # KeePassXC keeps an item locked to each client until access is allowed
            self.complete(self.call("Unlock", "ao", (locked,))[1])
        session = self.call("OpenSession", "sv", ("plain", GLib.Variant("s", "")))[1]
        found = self.call("GetSecrets", "aoo", (unlocked + locked, session))[0]
        assert len(found) == len(unlocked + locked), f"{len(found)} of {len(unlocked + locked)} read"
        return [bytes(found[path][2]) for path in sorted(found)]

    def complete(self, prompt):
        if prompt == "/":
            return
        done = []
        listener = self.session.bus.signal_subscribe(None, PROMPT, "Completed", prompt, None, Gio.DBusSignalFlags.NONE,
                                                     lambda *received: done.append(received[5].unpack()))
        with Person(self, "unlock", reaction_s=0):
            self.call("Prompt", "s", ("",), prompt, PROMPT)
            wait_for(lambda: done, START_S, f"the prompt {prompt} to complete")
        self.session.bus.signal_unsubscribe(listener)
        assert not done[0][0], f"the prompt {prompt} was dismissed"

    def xdotool(self, *args):
        return self.session.run(["xdotool", *args], timeout=20).stdout.decode().strip()

    def windows(self):
        """The provider's prompts on the screen: [(window, kind)]."""
        return [(window, kind) for search, kind in self.prompts
                for window in self.xdotool("search", "--onlyvisible", *search).split()]

    def answer(self, window, kind, policy):
        """Types "unlock" (the password, twice for a new store; else the default button,
        "Remember" as offered) or "cancel"."""
        focus = ["windowfocus", "--sync", window]
        typing = [*focus, "type", "--delay", "20", self.password]
        for command in {"cancel": [[*focus, "key", "Escape"]],
                        "password": [typing, ["key", "Return"]],
                        "new password": [typing, ["key", "Tab"], typing, ["key", "Return"]],
                        "confirm": [[*focus, "key", "Return"]]}["cancel" if policy == "cancel" else kind]:
            self.xdotool(*command)


class GnomeKeyring(Keyring):
    """settings: login (False: no login keyring, as after an autologin), prompts (False:
    no prompter can be started, for the session's `activatable`)."""

    name = "gnome-keyring"
    needs = ("gnome-keyring-daemon", PROMPTER)
    prompts = ((("--class", "^gcr-prompter$"), "password"),)
    activatable = {name: PROMPTER for name in ("org.gnome.keyring.SystemPrompter", "org.gnome.keyring.PrivatePrompter")}

    def launch(self):
        self.session.start_keyring(self.password, self.settings.get("login", True))

    def ready(self):
        return super().ready() if self.settings.get("login", True) else bus.owner(self.session.bus, SECRETS)

    def windows(self):
        # Its unlock prompt is titled "Unlock ..."; the one for a new keyring has no title.
        return [(w, "password" if self.xdotool("getwindowname", w) else "new password") for w, _ in super().windows()]

    def unlock_as_login(self):
        # seahorse's way in: the master password over a plain session, no prompt.
        session = self.call("OpenSession", "sv", ("plain", GLib.Variant("s", "")))[1]
        self.call("UnlockWithMasterPassword", "o(oayays)",
                  (self.default_collection(), (session, b"", self.password.encode(), "text/plain")),
                  interface="org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface")


class KWallet(Keyring):
    name = "kwallet"
    # QCA's OpenSSL plugin (libqca-qt5-2-plugins): kwalletd refuses every encrypted session without it.
    needs = ("kwalletd5", "/usr/lib/*/qca-qt5/crypto/libqca-ossl.so")
    prompts = ((("--name", "^KDE Wallet Service$"), "password"),)
    wallet = "kdewallet"

    def kwallet(self, method, signature="", args=(), timeout_ms=25_000):
        return bus.call(self.session.bus, "org.kde.kwalletd5", "/modules/kwalletd5", "org.kde.KWallet",
                        method, signature, args, timeout_ms)

    def is_open(self):
        return self.kwallet("isOpen", "s", (self.wallet,))[0]

    def password_hash(self):
        # pam_kwallet's key: PBKDF2-SHA512, 50,000 rounds, 56 bytes, salted per wallet.
        salt = self.data / f"{self.wallet}.salt"
        if not salt.exists():
            salt.parent.mkdir(parents=True, exist_ok=True)
            salt.write_bytes(os.urandom(56))
        return hashlib.pbkdf2_hmac("sha512", self.password.encode(), salt.read_bytes()[:56], 50_000, 56)

    def start_as_login(self):
        # As pam_kwallet5 does: the hash on a pipe, then an (empty) environment on the socket PAM_KWALLET5_LOGIN names.
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
        self.data = pathlib.Path(self.session.env["XDG_DATA_HOME"], "kwalletd")
        pathlib.Path(self.session.env["XDG_CONFIG_HOME"], "kwalletrc").write_text(
            f"[Wallet]\nFirst Use=false\nDefault Wallet={self.wallet}\n")
        if not (self.data / f"{self.wallet}.kwl").exists():
            # The first login creates it; the Secret Service side lists only wallets it found, so it starts again.
            self.start_as_login()
            wait_for(answering(self.is_open), START_S, "kwalletd5 to open the new wallet")
            self.kwallet("close", "sb", (self.wallet, True))
            self.kill(signal.SIGTERM)
        self.start_as_login()

    def ready(self):
        # Its Secret Service side calls it locked until a client unlocks it, no dialog: what a login leaves.
        return self.default_collection() and self.is_open()

    def lock(self):
        self.kwallet("close", "sb", (self.wallet, True))
        wait_for(lambda: not self.is_open() and self.is_locked(), START_S, "the wallet to close")

    def unlock(self):
        if not self.is_open():
            with contextlib.suppress(GLib.Error):  # pamOpen never replies
                self.kwallet("pamOpen", "sayi", (self.wallet, self.password_hash(), 0), timeout_ms=500)
            wait_for(self.is_open, START_S, "the wallet to open")
        if self.is_locked():
            # Its Secret Service side learns of a wallet opened elsewhere only by an Unlock (no dialog) of its own.
            self.complete(self.call("Unlock", "ao", ([self.default_collection()],))[1])


class KeePassXC(Keyring):
    """settings: [FdoSecrets] values (UnlockBeforeSearch, ConfirmAccessItem); the rest as KeePassXC has them."""

    name = "keepassxc"
    needs = ("keepassxc", "keepassxc-cli")
    prompts = ((("--name", "^Unlock Database - KeePassXC$"), "password"), (("--name", "Access Request$"), "confirm"))

    def cli(self, *args, answers=1):
        return self.session.run(["keepassxc-cli", *args], input=(self.password + "\n").encode() * answers,
                                timeout=START_S, check=True).stdout.decode()

    def create(self):
        # The exposed group lives only in the custom data, which the CLI cannot set: imported from XML instead.
        group = uuid.uuid4()
        source = pathlib.Path(self.dir, "store.xml")
        source.write_text("<KeePassFile><Meta><CustomData><Item><Key>FDO_SECRETS_EXPOSED_GROUP</Key>"
                          f"<Value>{{{group}}}</Value></Item></CustomData></Meta><Root><Group><Name>Root</Name>"
                          f"<Group><UUID>{base64.b64encode(group.bytes).decode()}</UUID><Name>Secrets</Name>"
                          "</Group></Group></Root></KeePassFile>")
        self.cli("import", "--set-password", "--decryption-time", "100", str(source), self.database, answers=2)

    def launch(self):
        self.database = os.path.join(self.dir, "store.kdbx")
        if not os.path.exists(self.database):
            self.create()
        fdo = {"Enabled": "true", "ShowNotification": "false", "ConfirmDeleteItem": "false", **self.settings}
        config = pathlib.Path(self.session.env["XDG_CONFIG_HOME"], "keepassxc")
        config.mkdir(exist_ok=True)
        (config / "keepassxc.ini").write_text(
            "[General]\nConfigVersion=2\nSingleInstance=false\nRememberLastDatabases=false\n"
            "OpenPreviousDatabasesOnStartup=false\n[FdoSecrets]\n" + "".join(f"{k}={v}\n" for k, v in fdo.items()))
        self.session.spawn(["sh", "-c", 'echo "$0" | keepassxc --pw-stdin "$1"', self.password, self.database],
                           log="keepassxc.log", start_new_session=True)

    def main_window(self, method, signature="", args=()):
        return bus.call(self.session.bus, "org.keepassxc.KeePassXC.MainWindow", "/keepassxc",
                        "org.keepassxc.KeePassXC.MainWindow", method, signature, args)

    def saved_items(self):
        """The entries of the exposed group in the database file, by UUID in hex."""
        xml = ElementTree.fromstring(self.cli("export", "--format", "xml", self.database))
        entries = xml.find(".//Group[Name='Secrets']").iter("Entry")
        return {base64.b64decode(entry.findtext("UUID")).hex() for entry in entries}

    def lock(self):
        # KeePassXC saves a change 150 ms later, and a lock that comes while it saves
        # drops the change. A person locks long after, so the change is on disk first.
        live = {os.path.basename(path) for path in sum(self.call("SearchItems", "a{ss}", (DASHBOARD,)), [])}
        wait_for(lambda: live == self.saved_items(), START_S, "KeePassXC to save the store")
        self.main_window("lockAllDatabases")
        wait_for(self.is_locked, START_S, "the store to lock")

    def unlock_as_login(self):
        self.main_window("openDatabase", "ss", (self.database, self.password))


KEYRINGS = {keyring.name: keyring for keyring in (GnomeKeyring, KWallet, KeePassXC)}


def missing(name):
    """Why the provider cannot run here, or None."""
    return next((f"{need} is not installed" for need in KEYRINGS[name].needs + ("Xvfb", "dbus-daemon", "xdotool")
                 if not (shutil.which(need) or glob.glob(need))), None)


class Person(threading.Thread):
    """The person at the screen, as a context: answers each prompt `reaction_s` after it
    appears by `policy` ("unlock", "cancel", or "watch": never); `events` holds (seconds,
    "shown"|policy|"closed", kind). An answer being typed is finished before the context
    ends, since a key left pressed would repeat into the next window."""

    def __init__(self, keyring, policy, reaction_s=REACTION_S):
        super().__init__(daemon=True)
        self.keyring, self.policy, self.reaction_s = keyring, policy, reaction_s
        self.events, self.stopping, self.began = [], threading.Event(), time.monotonic()

    def note(self, what, kind):
        self.events.append((round(time.monotonic() - self.began, 2), what, kind))

    def run(self):
        seen = {}
        while not self.stopping.is_set():
            visible = dict(self.keyring.windows())
            for window in set(seen) - set(visible):
                self.note("closed", seen.pop(window))
            for window, kind in [(w, k) for w, k in visible.items() if w not in seen]:
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


def stored(app, key, seconds=PROMPTED_S, figure=None, redirection="", unset=None):
    """The one-shot store's exit status once it has printed nothing (the key least of all), `key` on its standard
    input (or the shell's `redirection` of it), without the variable `unset`; `figure` prints how long it took."""
    began = time.monotonic()
    done = app.session.run([*(["env", "-u", unset] if unset else []), "/bin/sh", "-c",
                            f'exec "$0" --store-dashboard-key {redirection}', app.executable],
                           input=key, timeout=seconds)
    if figure:
        print(f"{figure}: exit {done.returncode} after {time.monotonic() - began:.2f} s")
    assert done.stdout + done.stderr == b"", "the store printed something"
    return done.returncode
