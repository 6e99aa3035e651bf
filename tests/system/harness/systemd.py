"""A desktop session run by a systemd user manager, as at a graphical login: its user bus
is the session bus, and a target of ours plays the login and the logout
(graphical-session.target refuses a manual start). Skipped where the manager cannot run."""

import contextlib
import os
import shutil
import signal
import subprocess
import time

import pytest

from . import bus
from .session import Session
from .waiting import LAUNCH_S, Timeout, wait_for

TARGET = "orlinde-session.target"
TARGET_UNIT = ("[Unit]\nDescription=Stand-in for a desktop session, from login to logout\n"
               "BindsTo=graphical-session.target\nBefore=graphical-session.target\n")

# In cgroups and a mount namespace of its own: the tmpfs over /run/systemd holds the
# system/ folder by which the manager recognises a systemd machine, the one over
# /etc/systemd/user keeps out units this machine's administrator enabled. Its units get
# its environment, the display too, as a desktop sets it before graphical-session.target.
START_MANAGER = """for cgroup; do mkdir "$cgroup"; echo $$ >"$cgroup/cgroup.procs"; done
exec unshare --mount --propagation private -- sh -c '
set -e
mount -t tmpfs tmpfs /run/systemd
mkdir /run/systemd/system
if [ -d /etc/systemd/user ]; then mount -t tmpfs tmpfs /etc/systemd/user; fi
exec env -i HOME="$HOME" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" PATH="$PATH" LANG=C.UTF-8 DISPLAY="$DISPLAY" \\
    {marker}="${marker}" SYSTEMD_LOG_TARGET=console systemd --user --default-standard-output=inherit'
"""


def cgroup_hierarchies():
    """Every hierarchy systemd uses: the unified one and, on a hybrid layout, the named v1 one."""
    if os.path.exists("/sys/fs/cgroup/cgroup.controllers"):
        return ["/sys/fs/cgroup"]
    return [h for h in ("/sys/fs/cgroup/unified", "/sys/fs/cgroup/systemd") if os.path.exists(f"{h}/cgroup.procs")]


def unusable_reason():
    needs = {"root, for a cgroup and a mount namespace of its own": os.getuid() == 0,
             **{f"{tool} installed": shutil.which(tool)
                for tool in ("systemd", "systemctl", "unshare", "nsenter", "dbus-daemon")},
             "a user bus socket unit (package dbus-user-session)": os.path.exists("/usr/lib/systemd/user/dbus.socket"),
             "/run/systemd to cover": os.path.isdir("/run/systemd"),
             "a cgroup hierarchy that systemd can use": cgroup_hierarchies()}
    return next((f"needs {need}" for need, met in needs.items() if not met), None)


class SystemdSession(Session):
    """A Session (X11, no keyring) whose bus is that of the user manager `manager`."""

    manager, cgroups = None, ()

    def __init__(self):
        if reason := unusable_reason():
            pytest.skip(reason)
        super().__init__(keyring=False)

    def _start_bus(self, activatable):
        # Outside ~/.config, where the tests look for what the app leaves behind.
        os.makedirs(self.path("run/systemd/user"))
        with open(self.path(f"run/systemd/user/{TARGET}"), "w") as unit:
            unit.write(TARGET_UNIT)
        self.cgroups = [os.path.join(h, os.path.basename(self.dir)) for h in cgroup_hierarchies()]
        started = time.monotonic()
        self.manager = self.spawn(["sh", "-c", START_MANAGER.format(marker=self.marker[0]), "sh", *self.cgroups],
                                  log="manager.log")
        self.address = self.env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={self.path('run/bus')}"

        def alive(condition):
            if self.manager.poll() is not None:
                pytest.skip("this machine cannot run a systemd user manager: " + self.log("manager.log"))
            with contextlib.suppress(bus.GLib.Error):  # the socket file appears before it listens
                return condition()

        self.bus = wait_for(lambda: alive(lambda: bus.connect(self.address)), LAUNCH_S,
                            "the user bus to accept connections")
        # The manager joins its bus only once the bus has started, after the socket appears.
        wait_for(lambda: alive(lambda: self.systemctl("is-system-running") in ("running", "degraded")
                               and bus.owner(self.bus, "org.freedesktop.systemd1")),
                 2 * LAUNCH_S, "the manager to finish starting and join its bus")
        print(f"manager ready in {time.monotonic() - started:.2f} s")

    def systemctl(self, *args):
        """Its standard output; inside the manager's mount namespace, as outside no systemd shows."""
        return self.run(["nsenter", "--mount", f"--target={self.manager.pid}", "--", "systemctl", "--user", *args],
                        timeout=LAUNCH_S).stdout.decode().strip()

    def unit(self, name):
        return dict(line.split("=", 1) for line in self.systemctl("show", name).splitlines())

    def stopped(self, name, seconds=LAUNCH_S):
        """The unit's properties once it has stopped for good: inactive or failed, with no
        job queued (a pending restart shows as activating)."""
        seen = {}

        def resting():
            seen.clear()
            seen.update(self.unit(name))
            return not seen.get("Job") and seen["ActiveState"] in ("inactive", "failed")
        try:
            wait_for(resting, seconds, f"{name} to stop for good", poll=0.2)
        except Timeout as late:
            raise Timeout(f"{late}: {seen['ActiveState']}/{seen['SubState']}, {seen['NRestarts']} restarts") from None
        return seen

    def log_in(self):
        self.systemctl("start", TARGET)
        # Once no job is queued, what the login set in motion has happened.
        wait_for(lambda: self.systemctl("list-jobs").startswith("No jobs"), LAUNCH_S, "the login to finish")

    def close(self):
        """The manager stops its units as at logout; the session's teardown ends what outlives it."""
        if self.manager:
            self.manager.send_signal(signal.SIGCONT)  # a test may have stopped it
            self.manager.terminate()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.manager.wait(15)
        super().close()
        for cgroup in self.cgroups:
            for folder, _, _ in os.walk(cgroup, topdown=False):
                os.rmdir(folder)
