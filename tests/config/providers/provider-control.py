#!/usr/bin/python3
"""Drives the Secret Service provider of a session made by secret-provider.sh.

Usage: provider-control.py COMMAND [ARGS...]

  reset [NAME=VALUE...]  the provider running (started or restarted as needed), its
                         store unlocked and without a dashboard item; for KeePassXC,
                         NAME=VALUE are [FdoSecrets] settings (ConfirmAccessItem,
                         UnlockBeforeSearch), every other one at KeePassXC's default
  lock                   locks the store as the provider's own "lock" does
  unlock                 unlocks it the way a login does, without a prompt
  kill                   SIGKILL to the process that owns org.freedesktop.secrets
  read                   one line per dashboard item, its secret in hex; unlocks
                         first and answers any prompt this read itself causes
  person POLICY MS       plays the person at the screen until terminated: each
                         prompt the provider shows is answered MS milliseconds after
                         it appeared, by POLICY: "unlock" (types the password,
                         allows access, "Remember" left as offered), "cancel", or
                         "watch" (never answers). One line per event on stdout:
                         "<ms since start> shown|unlock|cancel <kind> <title>", and
                         "<ms since start> closed <kind>" when a window goes.

Uses the session's environment: SECRET_PROVIDER, SECRET_PROVIDER_PASSWORD,
SECRET_PROVIDER_STATE (a directory for the store and logs), DISPLAY and the bus.
"""

import base64
import hashlib
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
import uuid
from xml.etree import ElementTree

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

SECRETS = "org.freedesktop.secrets"
SECRETS_PATH = "/org/freedesktop/secrets"
SERVICE = "org.freedesktop.Secret.Service"
DASHBOARD = {"service": "com.tovrex.orlinde.dashboard", "account": "dashboard"}
START_S = 30  # a provider starts in a few seconds, even on a loaded machine
PROMPT_S = 30

provider_name = os.environ["SECRET_PROVIDER"]
password = os.environ["SECRET_PROVIDER_PASSWORD"]
state = os.environ["SECRET_PROVIDER_STATE"]
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)


class Failure(Exception):
    pass


def call(name, path, interface, method, args=None, reply=None, timeout_ms=25_000):
    result = bus.call_sync(name, path, interface, method, args,
                           GLib.VariantType(reply) if reply else None,
                           Gio.DBusCallFlags.NONE, timeout_ms, None)
    return result.unpack() if result else ()


def bus_call(method, *args, signature=""):
    return call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                method, GLib.Variant(f"({signature})", args) if args else None)


def owner_pid():
    try:
        return bus_call("GetConnectionUnixProcessID", SECRETS, signature="s")[0]
    except GLib.Error:
        return None


def default_collection():
    try:
        path = call(SECRETS, SECRETS_PATH, SERVICE, "ReadAlias",
                    GLib.Variant("(s)", ("default",)), timeout_ms=3000)[0]
    except GLib.Error:
        return None
    return None if path == "/" else path


def is_locked(path):
    return call(SECRETS, path, "org.freedesktop.DBus.Properties", "Get",
                GLib.Variant("(ss)", ("org.freedesktop.Secret.Collection", "Locked")),
                timeout_ms=3000)[0]


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while True:
        try:
            if condition():
                return
        except GLib.Error:
            pass  # a service that is still starting
        if time.monotonic() > deadline:
            raise Failure(f"{what} within {seconds} s")
        time.sleep(0.05)


def unlocked_store():
    path = default_collection()
    return path if path and not is_locked(path) else None


def log_file(name):
    return open(os.path.join(state, name), "ab")


def plain_session():
    return call(SECRETS, SECRETS_PATH, SERVICE, "OpenSession",
                GLib.Variant("(sv)", ("plain", GLib.Variant("s", ""))))[1]


class GnomeKeyring:
    settings = ()
    # gcr-prompter's title, "Unlock Login Keyring" for the login keyring.
    prompts = ((r"^Unlock ", "password"),)

    def start(self, settings):
        # It forks its daemon, which creates the login keyring with this password
        # the first time and unlocks it with the same password afterwards.
        subprocess.run(["gnome-keyring-daemon", "--unlock", "--components=secrets"],
                       input=password.encode(), stdout=subprocess.DEVNULL,
                       stderr=log_file("gnome-keyring.log"), check=True, timeout=START_S)

    def ready(self):
        return unlocked_store()

    def lock(self):
        call(SECRETS, SECRETS_PATH, SERVICE, "Lock",
             GLib.Variant("(ao)", ([default_collection()],)))

    def unlock(self):
        # seahorse's way in: the master password over the plain session, no prompt.
        master = (plain_session(), b"", password.encode(), "text/plain")
        call(SECRETS, SECRETS_PATH, "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
             "UnlockWithMasterPassword",
             GLib.Variant("(o(oayays))", (default_collection(), master)))


class KWallet:
    settings = ()
    prompts = ((r"^KDE Wallet Service$", "password"),)
    wallet = "kdewallet"

    def data(self):
        return os.path.join(os.environ["HOME"], ".local/share/kwalletd")

    def password_hash(self):
        # pam_kwallet's key: PBKDF2-SHA512, 50,000 rounds, 56 bytes, salted per wallet.
        os.makedirs(self.data(), exist_ok=True)
        salt_path = os.path.join(self.data(), f"{self.wallet}.salt")
        if not os.path.exists(salt_path):
            with open(salt_path, "wb") as salt:
                salt.write(os.urandom(56))
        with open(salt_path, "rb") as salt:
            return hashlib.pbkdf2_hmac("sha512", password.encode(), salt.read(56), 50_000, 56)

    def start_as_login(self):
        # As pam_kwallet5 does: the hash on a pipe, then an (empty) environment on a
        # socket whose path is in PAM_KWALLET5_LOGIN.
        key = self.password_hash()
        socket_path = os.path.join(state, "kwallet5.socket")
        if os.path.exists(socket_path):
            os.unlink(socket_path)
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as listener:
            listener.bind(socket_path)
            listener.listen(1)
            pipe_read, pipe_write = os.pipe()
            subprocess.Popen(["kwalletd5", "--pam-login", str(pipe_read), str(listener.fileno())],
                             pass_fds=(pipe_read, listener.fileno()),
                             env=dict(os.environ, PAM_KWALLET5_LOGIN=socket_path),
                             stdin=subprocess.DEVNULL, stdout=log_file("kwalletd5.log"),
                             stderr=subprocess.STDOUT, start_new_session=True)
            os.close(pipe_read)
            os.write(pipe_write, key)
            os.close(pipe_write)
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as environment:
                environment.connect(socket_path)
        os.unlink(socket_path)

    def start(self, settings):
        config = os.path.join(os.environ["XDG_CONFIG_HOME"], "kwalletrc")
        with open(config, "w") as rc:
            rc.write(f"[Wallet]\nFirst Use=false\nDefault Wallet={self.wallet}\n")
        if not os.path.exists(os.path.join(self.data(), f"{self.wallet}.kwl")):
            # The first login creates the wallet; its Secret Service side lists only
            # wallets that existed when it started, so it starts again afterwards.
            self.start_as_login()
            wait_until(lambda: self.call("isOpen", GLib.Variant("(s)", (self.wallet,)), "(b)")[0],
                       START_S, "kwalletd5 did not open the new wallet")
            self.lock()
            stop()
        self.start_as_login()

    def ready(self):
        # Its Secret Service side calls the collection locked until a client unlocks
        # it, which then succeeds without a dialog: what a login leaves.
        return default_collection() and self.call("isOpen", GLib.Variant("(s)", (self.wallet,)), "(b)")[0]

    def call(self, method, args=None, reply=None):
        return call("org.kde.kwalletd5", "/modules/kwalletd5", "org.kde.KWallet", method, args, reply)

    def lock(self):
        self.call("close", GLib.Variant("(sb)", (self.wallet, True)), "(i)")
        wait_until(lambda: not self.call("isOpen", GLib.Variant("(s)", (self.wallet,)), "(b)")[0],
                   START_S, "the wallet did not close")

    def unlock(self):
        # pamOpen never replies.
        message = Gio.DBusMessage.new_method_call("org.kde.kwalletd5", "/modules/kwalletd5",
                                                  "org.kde.KWallet", "pamOpen")
        message.set_body(GLib.Variant("(sayi)", (self.wallet, self.password_hash(), 0)))
        message.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
        bus.send_message(message, Gio.DBusSendMessageFlags.NONE)
        bus.flush_sync(None)


class KeePassXC:
    settings = ("ConfirmAccessItem", "UnlockBeforeSearch")
    prompts = ((r"^Unlock Database - KeePassXC$", "password"), (r"Access Request$", "confirm"))

    def database(self):
        return os.path.join(state, "store.kdbx")

    def cli(self, *args, answers=1):
        subprocess.run(["keepassxc-cli", *args], input=(password + "\n").encode() * answers,
                       stdout=subprocess.PIPE, stderr=log_file("keepassxc-cli.log"), check=True,
                       timeout=START_S)

    def create(self):
        # The exposed group lives only in the database's custom data, which the CLI
        # cannot set: export to XML, add it there, import.
        draft = os.path.join(state, "draft.kdbx")
        self.cli("db-create", "--set-password", "--decryption-time", "100", draft, answers=2)
        self.cli("mkdir", draft, "Secrets")
        xml = subprocess.run(["keepassxc-cli", "export", "--format", "xml", draft],
                             input=(password + "\n").encode(), capture_output=True,
                             check=True, timeout=START_S).stdout.decode()
        group = re.search(r"<UUID>([^<]+)</UUID>\s*<Name>Secrets</Name>", xml).group(1)
        exposed = "{%s}" % uuid.UUID(bytes=base64.b64decode(group))
        custom = ("<CustomData><Item><Key>FDO_SECRETS_EXPOSED_GROUP</Key>"
                  f"<Value>{exposed}</Value></Item></CustomData>")
        xml = re.sub(r"<CustomData>.*?</CustomData>|<CustomData/>", "", xml, flags=re.S)
        xml = xml.replace("</Meta>", custom + "</Meta>", 1)
        source = os.path.join(state, "store.xml")
        with open(source, "w") as out:
            out.write(xml)
        self.cli("import", "--set-password", "--decryption-time", "100", source,
                 self.database(), answers=2)
        os.unlink(source)
        os.unlink(draft)

    def start(self, settings):
        if not os.path.exists(self.database()):
            self.create()
        fdo = {"Enabled": "true", "ShowNotification": "false", "ConfirmDeleteItem": "false",
               **settings}
        config = os.path.join(os.environ["XDG_CONFIG_HOME"], "keepassxc")
        os.makedirs(config, exist_ok=True)
        with open(os.path.join(config, "keepassxc.ini"), "w") as ini:
            ini.write("[General]\nConfigVersion=2\nSingleInstance=false\n"
                      "RememberLastDatabases=false\nOpenPreviousDatabasesOnStartup=false\n"
                      "[FdoSecrets]\n" + "".join(f"{k}={v}\n" for k, v in fdo.items()))
        keepassxc = subprocess.Popen(["keepassxc", "--pw-stdin", self.database()],
                                     stdin=subprocess.PIPE, stdout=log_file("keepassxc.log"),
                                     stderr=subprocess.STDOUT, start_new_session=True)
        keepassxc.stdin.write((password + "\n").encode())
        keepassxc.stdin.close()

    def ready(self):
        return unlocked_store()

    def call(self, method, args=None):
        return call("org.keepassxc.KeePassXC.MainWindow", "/keepassxc",
                    "org.keepassxc.KeePassXC.MainWindow", method, args)

    def saved_items(self):
        """The UUIDs (hex) of the entries in the exposed group of the database file."""
        xml = subprocess.run(["keepassxc-cli", "export", "--format", "xml", self.database()],
                             input=(password + "\n").encode(), capture_output=True,
                             check=True, timeout=START_S).stdout.decode()
        root = ElementTree.fromstring(xml)
        for group in root.iter("Group"):
            if group.findtext("Name") == "Secrets":
                return {base64.b64decode(entry.findtext("UUID")).hex()
                        for entry in group.iter("Entry")}
        return set()

    def lock(self):
        # KeePassXC saves a change 150 ms later, and a lock that comes while it saves can
        # drop the change: the item just stored is gone once the store is unlocked again.
        # So the change is on disk first, as it would be long before a person locks.
        live = {os.path.basename(path) for path in dashboard_items()}
        wait_until(lambda: live == self.saved_items(), START_S, "KeePassXC did not save the store")
        self.call("lockAllDatabases")

    def unlock(self):
        self.call("openDatabase", GLib.Variant("(ss)", (self.database(), password)))


provider = {"gnome-keyring": GnomeKeyring, "kwallet": KWallet, "keepassxc": KeePassXC}[provider_name]()


def stop():
    pid = owner_pid()
    if pid is None:
        return
    os.kill(pid, signal.SIGTERM)
    wait_until(lambda: owner_pid() is None, START_S, "the provider did not stop")


def applied_settings():
    try:
        with open(os.path.join(state, "settings.json")) as current:
            return json.load(current)
    except FileNotFoundError:
        return None


def reset(arguments):
    settings = dict(argument.split("=", 1) for argument in arguments)
    unknown = set(settings) - set(provider.settings)
    if unknown:
        raise Failure(f"{provider_name} has no setting {', '.join(sorted(unknown))}")
    if owner_pid() is None or applied_settings() != settings:
        stop()
        began = time.monotonic()
        provider.start(settings)
        wait_until(provider.ready, START_S, f"{provider_name} did not offer an unlocked store")
        print(f"{provider_name} started in {(time.monotonic() - began) * 1000:.0f} ms", flush=True)
        with open(os.path.join(state, "settings.json"), "w") as current:
            json.dump(settings, current)
    dismiss_stray_prompts()
    unlock()
    for path in dashboard_items():
        prompt = call(SECRETS, path, "org.freedesktop.Secret.Item", "Delete", reply="(o)")[0]
        if prompt != "/":
            complete(prompt)
    if dashboard_items():
        raise Failure("the dashboard items could not be deleted")


def dismiss_stray_prompts():
    """Cancels what an earlier case left open, as a person would; ends the process of
    a window that stays (a prompter whose provider has gone)."""
    for window, kind in visible_prompts():
        print(f"dismissing a stray prompt: {kind} {window_name(window)}", flush=True)
        answer(window, kind, "cancel")
    try:
        wait_until(lambda: not visible_prompts(), 10, "stray prompts stayed open")
        return
    except Failure:
        pass
    for window, _ in visible_prompts():
        pid = subprocess.run(["xdotool", "getwindowpid", window], capture_output=True,
                             text=True).stdout.strip()
        if pid and int(pid) != owner_pid():
            os.kill(int(pid), signal.SIGTERM)
    wait_until(lambda: not visible_prompts(), 10, "stray prompts stayed open")


def lock():
    provider.lock()
    wait_until(lambda: is_locked(default_collection()), START_S, "the store did not lock")


def unlock():
    if unlocked_store():
        return
    provider.unlock()
    wait_until(provider.ready, START_S, "the store did not unlock")
    if unlocked_store() is None:
        # kwalletd's Secret Service side learns of a wallet opened elsewhere only
        # through an Unlock of its own, which then completes without a dialog.
        prompt = call(SECRETS, SECRETS_PATH, SERVICE, "Unlock",
                      GLib.Variant("(ao)", ([default_collection()],)), "(aoo)")[1]
        if prompt != "/":
            complete(prompt)
    wait_until(unlocked_store, START_S, "the store did not unlock")


def kill():
    pid = owner_pid()
    if pid is None:
        raise Failure("no provider runs")
    os.kill(pid, signal.SIGKILL)
    wait_until(lambda: owner_pid() is None, START_S, "the provider's name stayed on the bus")
    print(pid)


def dashboard_items():
    unlocked, locked = call(SECRETS, SECRETS_PATH, SERVICE, "SearchItems",
                            GLib.Variant("(a{ss})", (DASHBOARD,)), "(aoao)")
    return unlocked + locked


def visible_prompts():
    found = []
    for pattern, kind in provider.prompts:
        windows = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", pattern],
                                 capture_output=True, text=True).stdout.split()
        found += [(window, kind) for window in windows]
    return found


def window_name(window):
    return subprocess.run(["xdotool", "getwindowname", window],
                          capture_output=True, text=True).stdout.strip()


def answer(window, kind, policy):
    """Types the answer into the window; false if it went away meanwhile."""
    xdotool = ["xdotool", "windowfocus", "--sync", window]
    if policy == "cancel":
        keys = [xdotool + ["key", "Escape"]]
    elif kind == "password":
        keys = [xdotool + ["type", "--delay", "20", password], ["xdotool", "key", "Return"]]
    else:
        keys = [xdotool + ["key", "Return"]]
    try:
        for command in keys:
            subprocess.run(command, check=True, timeout=10, stderr=subprocess.DEVNULL)
    except subprocess.SubprocessError:
        return False
    return True


def complete(prompt):
    """Runs a Secret Service prompt to its end, answering its windows at once."""
    done = []
    subscription = bus.signal_subscribe(None, "org.freedesktop.Secret.Prompt", "Completed", prompt,
                                        None, Gio.DBusSignalFlags.NONE,
                                        lambda *received: done.append(received[5].unpack()))
    call(SECRETS, prompt, "org.freedesktop.Secret.Prompt", "Prompt", GLib.Variant("(s)", ("",)))
    deadline = time.monotonic() + PROMPT_S
    answered = set()
    while not done:
        if time.monotonic() > deadline:
            raise Failure(f"the prompt {prompt} did not complete")
        GLib.MainContext.default().iteration(False)
        for window, kind in visible_prompts():
            if window not in answered:
                answered.add(window)
                answer(window, kind, "unlock")
        time.sleep(0.05)
    bus.signal_unsubscribe(subscription)
    dismissed, _ = done[0]
    if dismissed:
        raise Failure(f"the prompt {prompt} was dismissed")


def read():
    unlock()
    unlocked, locked = call(SECRETS, SECRETS_PATH, SERVICE, "SearchItems",
                            GLib.Variant("(a{ss})", (DASHBOARD,)), "(aoao)")
    if locked:
        # KeePassXC keeps an item locked for each client until access is allowed.
        prompt = call(SECRETS, SECRETS_PATH, SERVICE, "Unlock", GLib.Variant("(ao)", (locked,)),
                      "(aoo)")[1]
        if prompt != "/":
            complete(prompt)
    secrets = call(SECRETS, SECRETS_PATH, SERVICE, "GetSecrets",
                   GLib.Variant("(aoo)", (unlocked + locked, plain_session())), "(a{o(oayays)})")[0]
    if len(secrets) != len(unlocked + locked):
        raise Failure(f"{len(secrets)} of {len(unlocked + locked)} secrets could be read")
    for path in sorted(secrets):
        print(bytes(secrets[path][2]).hex())


def person(policy, reaction_ms):
    if policy not in ("unlock", "cancel", "watch"):
        raise Failure(f"no policy {policy}")
    began = time.monotonic()

    def event(what, kind, window):
        print(f"{(time.monotonic() - began) * 1000:.0f} {what} {kind} {window_name(window)}", flush=True)

    # Ending in the middle of an answer would kill xdotool between a key's press and its
    # release: the key stays down and the X server repeats it into the next window (an
    # Escape that cancels the next case's prompt). An answer is finished first.
    answering = False
    asked_to_stop = False

    def stop(*_):
        nonlocal asked_to_stop
        asked_to_stop = True
        if not answering:
            sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    seen = {}
    while True:
        visible = visible_prompts()
        # A window that went away and comes back is a new prompt.
        for window in set(seen) - {window for window, _ in visible}:
            print(f"{(time.monotonic() - began) * 1000:.0f} closed {seen.pop(window)}", flush=True)
        for window, kind in visible:
            if window in seen:
                continue
            seen[window] = kind
            event("shown", kind, window)
            if policy == "watch":
                continue
            time.sleep(reaction_ms / 1000)
            if (window, kind) in visible_prompts():
                event(policy, kind, window)
                answering = True
                answer(window, kind, policy)
                answering = False
                if asked_to_stop:
                    sys.exit(0)
        time.sleep(0.1)


def main(arguments):
    if not arguments:
        print(__doc__, file=sys.stderr)
        return 2
    command, rest = arguments[0], arguments[1:]
    try:
        if command == "reset":
            reset(rest)
        elif command == "person" and len(rest) == 2:
            person(rest[0], int(rest[1]))
        elif command in ("lock", "unlock", "kill", "read") and not rest:
            globals()[command]()
        else:
            print(__doc__, file=sys.stderr)
            return 2
    except (Failure, GLib.Error, subprocess.SubprocessError, OSError) as failure:
        print(f"provider-control {command}: {failure}", file=sys.stderr)
        for log in sorted(os.listdir(state)):
            if log.endswith(".log"):
                with open(os.path.join(state, log), errors="replace") as text:
                    tail = text.readlines()[-10:]
                if tail:
                    print(f"--- {log}:\n" + "".join(tail), file=sys.stderr, end="")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
