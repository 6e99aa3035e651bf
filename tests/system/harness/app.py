"""The app under test: a private copy of the built bundle (or a plain executable) with
its own settings and an installation root holding the collector stand-in."""

import contextlib
import json
import os
import plistlib
import shutil
import signal
import subprocess

from .waiting import EXIT_S, LAUNCH_S, Timeout, wait_for

BUILD = os.environ.get("ORLINDE_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../../build"))
BUILT_BUNDLE = os.path.join(BUILD, "Orlinde.app")
STAND_IN = os.path.join(os.path.dirname(__file__), "collector.mjs")
NODE = shutil.which("node") or "/usr/bin/node"


def describe(status):
    """"exited with status N", "killed by signal N" or "still running", for asserts."""
    if status is None:
        return "still running"
    return f"killed by signal {-status}" if status < 0 else f"exited with status {status}"


class App:
    """layout: "bundle" (Orlinde.app/Contents/MacOS, with Info.plist) or "plain" (the
    executable with settings.json beside it and no identifier)."""

    def __init__(self, session, layout="bundle", identifier=None):
        self.session = session
        self.top = session.path(f"app{len(session.spawned)}-{id(self) % 10000}")
        if layout == "bundle":
            macos = os.path.join(self.top, "Orlinde.app/Contents/MacOS")
            shutil.copytree(os.path.join(BUILT_BUNDLE, "Contents/MacOS"), macos)
            self.resources = os.path.join(self.top, "Orlinde.app/Contents/Resources")
            os.makedirs(self.resources)
            self.info_plist = os.path.join(self.top, "Orlinde.app/Contents/Info.plist")
            if identifier:
                with open(self.info_plist, "wb") as plist:
                    plistlib.dump({"CFBundleIdentifier": identifier}, plist)
        else:
            macos = self.resources = os.path.join(self.top, "plain")
            os.makedirs(macos)
            shutil.copy2(os.path.join(BUILT_BUNDLE, "Contents/MacOS/Orlinde"), macos)
            self.info_plist = None
        self.executable = os.path.join(macos, "Orlinde")
        self.settings_path = os.path.join(self.resources, "settings.json")
        self.root = os.path.join(self.top, "root")
        os.makedirs(os.path.join(self.root, ".data"))
        shutil.copy2(STAND_IN, os.path.join(self.root, "collector.mjs"))
        self.settings = {
            "node": NODE, "root": self.root, "hub": "http://127.0.0.1:9",
            "launchAgent": os.path.join(self.root, "autostart/com.tovrex.orlinde.desktop"),
            "appExecutable": self.executable,
        }
        self.process = None
        if session.user:
            subprocess.run(["chown", "-R", f"{session.user.pw_uid}:{session.user.pw_gid}", self.top], check=True)

    def in_root(self, name):
        return os.path.join(self.root, name)

    def lines(self, name):
        """The lines of a file in the root (the stand-in's "launches", "signals"...)."""
        with contextlib.suppress(FileNotFoundError), open(self.in_root(name)) as text:
            return text.read().split()
        return []

    def collector_mode(self, *words):
        """Sets the stand-in's behaviour; see collector.mjs."""
        with open(self.in_root("mode.new"), "w") as mode:
            mode.write(" ".join(words))
        os.replace(self.in_root("mode.new"), self.in_root("mode"))

    def write_settings(self, settings=None):
        with open(self.settings_path, "w") as out:
            json.dump(self.settings if settings is None else settings, out)

    def start(self, *arguments, env=None, settings=None, log="app.log"):
        if settings is not False:
            self.write_settings(settings)
        self.process = self.session.spawn([self.executable, *arguments], log=log, env=env)
        return self

    @property
    def pid(self):
        return self.process.pid

    def wait_exit(self, seconds=EXIT_S):
        """The exit status once the app has ended (negative for a signal), or None."""
        try:
            return wait_for(lambda: self.process.poll() is not None, seconds, "the app to end") \
                and self.process.returncode
        except Timeout:
            return None

    def signal(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)

    def run_once(self, *arguments, seconds=EXIT_S):
        """Another process of the same copy run to its end: (status, stdout, stderr)."""
        done = self.session.run([self.executable, *arguments], input=b"", timeout=seconds)
        return done.returncode, done.stdout, done.stderr

    def launch_into_tray(self, watcher, **start):
        """Starts the app and waits for its item in `watcher`'s tray."""
        self.start(**start)
        try:
            return watcher.item_of(self.pid)
        except Timeout as failure:
            raise Timeout(f"{failure} (app {describe(self.process.poll())}; "
                          f"output: {self.session.log('app.log')})") from None

    def wait_for_launches(self, count, seconds=LAUNCH_S):
        return wait_for(lambda: len(self.lines("launches")) >= count, seconds, f"{count} collector launches")
